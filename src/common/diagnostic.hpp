#pragma once

#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <utility>

// One line on standard error. A line that cannot be written (standard error
// closed or full) is dropped: {fmt}'s own print would throw, ending the
// process with SIGABRT instead of its exit status.
template <typename... Args> void diagnose(fmt::format_string<Args...> format, Args&&... args)
{
    const std::string line = fmt::format(format, std::forward<Args>(args)...);
    std::fwrite(line.data(), 1, line.size(), stderr);
}
