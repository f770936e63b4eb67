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
    // Links stay links, as sysfs makes them (its /sys/block entries are
    // links into /sys/devices); files are rewritten in place.
    void install(const std::filesystem::path& state, bool renumbered = false)
    {
        namespace fs = std::filesystem;
        if (renumbered)
            fs::remove_all(path / "sys");
        fs::create_directories(path);
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(state)) {
            const fs::path target = path / entry.path().lexically_relative(state);
            if (entry.is_symlink()) {
                fs::remove(target);
                fs::create_symlink(fs::read_symlink(entry.path()), target);
            } else if (entry.is_directory()) {
                fs::create_directories(target);
            } else {
                fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
            }
        }
    }
};
