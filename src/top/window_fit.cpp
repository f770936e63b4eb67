#include "top/window_fit.hpp"

#include <fmt/format.h>

namespace {

// A whole table: the blank line, the header and every row.
std::size_t lines_needed(const TableLines& table)
{
    return 2 + table.rows.size();
}

// Every table that needs no more than an even share of the rows left gets
// what it needs; the others split the rest evenly, the earlier ones taking
// the odd rows.
std::vector<std::size_t> share_rows(const std::vector<TableLines>& tables, std::size_t rows)
{
    std::vector<std::size_t> share(tables.size(), 0);
    std::vector<bool> settled(tables.size(), false);
    std::size_t open = tables.size();
    for (bool moved = true; moved && open > 0;) {
        moved = false;
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (settled[i] || lines_needed(tables[i]) * open > rows)
                continue;
            share[i] = lines_needed(tables[i]);
            rows -= share[i];
            settled[i] = true;
            --open;
            moved = true;
        }
    }
    std::size_t rank = 0;
    for (std::size_t i = 0; i < tables.size(); ++i)
        if (!settled[i])
            share[i] = rows / open + (rank++ < rows % open ? 1 : 0);
    return share;
}

// The rows a table shows when only `room` fit: the busy ones from the top,
// then as many idle ones from the top as there is room left.
std::vector<bool> choose_rows(const std::vector<TableRow>& rows, std::size_t room)
{
    std::vector<bool> shown(rows.size(), false);
    for (const bool idle : {false, true})
        for (std::size_t i = 0; i < rows.size() && room > 0; ++i)
            if (rows[i].idle == idle) {
                shown[i] = true;
                --room;
            }
    return shown;
}

// A table in `budget` lines. Rows give way first, then the blank line, then
// the header; the line that counts the rows not shown goes last.
void append_table(std::vector<std::string>& lines, const TableLines& table, std::size_t budget)
{
    if (budget >= lines_needed(table)) {
        lines.emplace_back();
        lines.push_back(table.header);
        for (const TableRow& row : table.rows)
            lines.push_back(row.text);
        return;
    }
    const std::size_t counting = table.rows.empty() ? 0 : 1;
    const std::size_t room = budget > counting ? budget - counting : 0;
    if (room >= 2)
        lines.emplace_back();
    if (room >= 1)
        lines.push_back(table.header);
    if (counting == 0 || budget == 0)
        return;
    const std::vector<bool> shown = choose_rows(table.rows, room > 2 ? room - 2 : 0);
    std::size_t hidden = 0;
    std::size_t hidden_idle = 0;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        if (shown[i])
            lines.push_back(table.rows[i].text);
        else {
            ++hidden;
            hidden_idle += table.rows[i].idle ? 1 : 0;
        }
    }
    lines.push_back(fmt::format("... {} more {}{} ({} idle)", hidden, table.noun,
                                hidden == 1 ? "" : "s", hidden_idle));
}

}  // namespace

std::vector<std::string> all_lines(const ScreenLines& screen)
{
    std::vector<std::string> lines = screen.fixed;
    for (const TableLines& table : screen.tables)
        append_table(lines, table, lines_needed(table));
    return lines;
}

std::vector<std::string> fit_lines(const ScreenLines& screen, WindowSize window)
{
    std::vector<std::string> lines;
    for (const std::string& line : screen.fixed)
        if (lines.size() < window.rows)
            lines.push_back(line);
    const std::vector<std::size_t> shares = share_rows(screen.tables, window.rows - lines.size());
    for (std::size_t i = 0; i < screen.tables.size(); ++i)
        append_table(lines, screen.tables[i], shares[i]);
    // Cut, not wrapped: a wrapped line would take a row it was not given.
    for (std::string& line : lines)
        if (line.size() > window.columns)
            line.resize(window.columns);
    return lines;
}
