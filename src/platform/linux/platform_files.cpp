#include "platform_files.hpp"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

char root_directory[4096] = "";  // empty means "/"

// Files kept open for rereading, by the absolute path asked for. A file that
// is missing (ZFS not loaded) is kept with no descriptor and looked for again
// at most once a second: a failed lookup in /proc costs more than a read.
struct KeptFile {
    const char* absolute_path;  // a string literal of the caller's
    int fd;                     // -1 while the file is missing
    time_t looked_at;           // coarse monotonic seconds of the last open
};

constexpr time_t missing_file_recheck_seconds = 1;

time_t coarse_seconds()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec;
}
KeptFile kept_files[8];
int kept_count = 0;

void forget_kept_files()
{
    for (int i = 0; i < kept_count; ++i)
        if (kept_files[i].fd >= 0)
            close(kept_files[i].fd);
    kept_count = 0;
}

}  // namespace

void set_platform_root(const char* directory)
{
    forget_kept_files();
    size_t length = strnlen(directory, sizeof root_directory - 1);
    while (length > 0 && directory[length - 1] == '/')
        --length;
    std::memcpy(root_directory, directory, length);
    root_directory[length] = '\0';
}

int open_platform_file(const char* absolute_path)
{
    char path[4096 + 256];
    if (!platform_path(absolute_path, path, sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(path, O_RDONLY | O_CLOEXEC);
}

ssize_t read_file_at(int fd, char* buffer, size_t capacity, off_t offset)
{
    size_t filled = 0;
    while (filled < capacity) {
        const size_t wanted = capacity - filled;
        const ssize_t got = pread(fd, buffer + filled, wanted, offset + static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        filled += static_cast<size_t>(got);
        // /proc and /sys hand out all they have in one read: a short read is
        // the end, and asking again would only cost a system call.
        if (static_cast<size_t>(got) < wanted)
            break;
    }
    return static_cast<ssize_t>(filled);
}

bool platform_path(const char* absolute_path, char* path, size_t capacity)
{
    const size_t root_length = std::strlen(root_directory);
    const size_t path_length = std::strlen(absolute_path);
    if (root_length + path_length + 1 > capacity)
        return false;
    std::memcpy(path, root_directory, root_length);
    std::memcpy(path + root_length, absolute_path, path_length + 1);
    return true;
}

ssize_t read_platform_file(const char* absolute_path, char* buffer, size_t capacity)
{
    const int fd = open_platform_file(absolute_path);
    if (fd < 0)
        return -1;
    const ssize_t length = read_file_at(fd, buffer, capacity, 0);
    close(fd);
    return length;
}

ssize_t reread_platform_file(const char* absolute_path, char* buffer, size_t capacity)
{
    KeptFile* kept = nullptr;
    for (int i = 0; i < kept_count && kept == nullptr; ++i)
        if (std::strcmp(kept_files[i].absolute_path, absolute_path) == 0)
            kept = &kept_files[i];
    if (kept != nullptr && kept->fd >= 0) {
        const ssize_t length = read_file_at(kept->fd, buffer, capacity, 0);
        if (length >= 0)
            return length;
        // The file went away under us (a module unloaded).
        close(kept->fd);
        kept->fd = -1;
        kept->looked_at = coarse_seconds();
        return -1;
    }
    if (kept != nullptr && coarse_seconds() - kept->looked_at < missing_file_recheck_seconds)
        return -1;

    const int fd = open_platform_file(absolute_path);
    if (kept == nullptr) {
        if (kept_count == static_cast<int>(sizeof kept_files / sizeof kept_files[0])) {
            const ssize_t length = fd < 0 ? -1 : read_file_at(fd, buffer, capacity, 0);
            if (fd >= 0)
                close(fd);
            return length;
        }
        kept = &kept_files[kept_count++];
        kept->absolute_path = absolute_path;
    }
    kept->fd = fd;
    kept->looked_at = coarse_seconds();
    return fd < 0 ? -1 : read_file_at(fd, buffer, capacity, 0);
}

bool next_line(TextCursor& text)
{
    const void* newline = std::memchr(text.at, '\n', static_cast<size_t>(text.end - text.at));
    if (newline == nullptr) {
        text.at = text.end;
        return false;
    }
    text.at = static_cast<const char*>(newline) + 1;
    return text.at < text.end;
}

bool parse_u64(TextCursor& text, std::uint64_t& value)
{
    const char* at = text.at;
    while (at < text.end && (*at == ' ' || *at == '\t'))
        ++at;
    if (at == text.end || *at < '0' || *at > '9')
        return false;
    std::uint64_t result = 0;
    for (; at < text.end && *at >= '0' && *at <= '9'; ++at) {
        const std::uint64_t digit = static_cast<std::uint64_t>(*at - '0');
        if (result > (UINT64_MAX - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    text.at = at;
    return true;
}

std::string_view next_word(TextCursor& text)
{
    while (text.at < text.end && (*text.at == ' ' || *text.at == '\t'))
        ++text.at;
    const char* start = text.at;
    while (text.at < text.end && *text.at != ' ' && *text.at != '\t' && *text.at != '\n')
        ++text.at;
    return {start, static_cast<size_t>(text.at - start)};
}

bool skip_word(TextCursor& text, const char* word)
{
    const size_t length = std::strlen(word);
    if (static_cast<size_t>(text.end - text.at) < length || std::memcmp(text.at, word, length) != 0)
        return false;
    text.at += length;
    return true;
}

bool find_line(TextCursor& text, const char* key)
{
    do {
        if (skip_word(text, key))
            return true;
    } while (next_line(text));
    return false;
}
