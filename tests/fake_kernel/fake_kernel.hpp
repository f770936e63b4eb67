#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

// A programmable kernel for unit tests: the FreeBSD sysctl calls answered from
// tables that each test fills. Every name is unknown (ENOENT) until set.
namespace fake_kernel {

using Mib = std::vector<int>;

// Forgets every name and value.
void reset();

// The bytes a numeric name answers with.
void set_bytes(const Mib& mib, std::string bytes);
// Makes a successful read of `mib` report `length` instead of the value's size.
void set_reported_length(const Mib& mib, size_t length);
// Makes every read of `mib` fail with `error`.
void set_error(const Mib& mib, int error);
// Makes `name` resolve to `mib` for sysctlbyname and sysctlnametomib.
void set_name(const std::string& name, const Mib& mib);
// How many sysctl, sysctlbyname and sysctlnametomib calls were made.
int call_count();

template <typename T> std::string bytes_of(const T& value)
{
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

template <typename T> void set_value(const Mib& mib, const T& value)
{
    set_bytes(mib, bytes_of(value));
}

// A named value under a numeric name of the fake's choosing; returns it.
Mib set_named_bytes(const std::string& name, std::string bytes);

template <typename T> Mib set_named_value(const std::string& name, const T& value)
{
    return set_named_bytes(name, bytes_of(value));
}

}  // namespace fake_kernel
