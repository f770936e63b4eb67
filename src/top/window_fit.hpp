#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The size of the terminal a frame is shown on.
struct WindowSize {
    std::size_t rows;
    std::size_t columns;
};

struct TableRow {
    std::string text;
    bool idle;  // the device moved nothing since the last refresh
};

// One device table as lines: its header, which follows a blank line, and a
// row per device in the reader's order.
struct TableLines {
    const char* noun;  // "disk", "interface": what its rows count
    std::string header;
    std::vector<TableRow> rows;
};

// A screen's lines before they are joined: those that always stay, then the
// tables that were read.
struct ScreenLines {
    std::vector<std::string> fixed;
    std::vector<TableLines> tables;
};

// Every line, for output that is not a terminal of known size.
std::vector<std::string> all_lines(const ScreenLines& screen);

// At most `window.rows` lines of at most `window.columns` characters. The
// fixed lines come first; the tables share the rows left, and a table cut
// short shows its busy rows before its idle ones, in the reader's order, and
// ends with a line counting the rows it does not show.
std::vector<std::string> fit_lines(const ScreenLines& screen, WindowSize window);
