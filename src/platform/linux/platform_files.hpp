#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// File access and parsing shared by the Linux answers to the FreeBSD calls.
// Every path is taken below a root directory, "/" unless a test points the
// layer at a fixture tree. Nothing here allocates.

// Makes later reads look below `directory` instead of "/".
void set_platform_root(const char* directory);

// Reads up to `capacity` bytes from the start of `absolute_path` below the
// root: the byte count, or -1 when the file cannot be opened or read.
ssize_t read_platform_file(const char* absolute_path, char* buffer, size_t capacity);

// The same for a file read again on every scrape: it is kept open and read
// with pread from offset 0, which makes /proc generate it afresh. A file that
// is missing is looked for again at most once a second.
ssize_t reread_platform_file(const char* absolute_path, char* buffer, size_t capacity);

// Opens `absolute_path` below the root for reading: a descriptor, or -1 with
// errno set.
int open_platform_file(const char* absolute_path);

// Reads from `offset` until `capacity` bytes are in or a read comes up short:
// the byte count, or -1.
ssize_t read_file_at(int fd, char* buffer, size_t capacity, off_t offset);

// Joins the root and `absolute_path`; false when it does not fit.
bool platform_path(const char* absolute_path, char* path, size_t capacity);

// Text scanning over [cursor, end): no locale, no allocation.
struct TextCursor {
    const char* at;
    const char* end;
};

// Moves to the start of the next line; false at the end of the text.
bool next_line(TextCursor& text);
// Skips spaces and tabs, then reads a decimal number; false if none is there.
bool parse_u64(TextCursor& text, std::uint64_t& value);
// Skips spaces and tabs, then takes the word up to the next blank or newline.
std::string_view next_word(TextCursor& text);
// True, with the cursor after `word`, when the current position starts with it.
bool skip_word(TextCursor& text, const char* word);
// Positions the cursor just after `key` at the start of the first line that
// begins with `key`; false if no line does.
bool find_line(TextCursor& text, const char* key);
