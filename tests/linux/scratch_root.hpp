#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform_files.hpp"

// A root of its own for the Linux layer, whose files are rewritten in place,
// as /proc's are, while the program keeps them open. It is removed, and the
// real root taken back, when the test ends.
struct ScratchRoot {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("kelmar-root-" + std::to_string(getpid()));
    ScratchRoot()
    {
        set_platform_root(path.c_str());
    }
    ~ScratchRoot()
    {
        set_platform_root("/");
        std::filesystem::remove_all(path);
    }
    // Renumbered devices leave nothing of their old /sys entries behind.
    void install(const std::filesystem::path& state, bool renumbered = false)
    {
        if (renumbered)
            std::filesystem::remove_all(path / "sys");
        std::filesystem::copy(state, path,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
    }
};
