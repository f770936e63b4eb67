#include "top/screen_layout.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

namespace {

const char* const byte_units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
constexpr int largest_unit = 4;
constexpr double one_unit_down = 0x1p-10;  // multiplying by it is exact

// A device name may hold any byte; written raw, control bytes would recolour
// the terminal or move its cursor. As terminal tools do, every byte outside
// printable ASCII is shown as '?', which also keeps the columns aligned.
std::string printable(std::string_view name)
{
    std::string shown(name);
    for (char& c : shown)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return shown;
}

std::string summary_line(const FrameContents& contents)
{
    std::string line;
    auto out = std::back_inserter(line);
    if (contents.load)
        fmt::format_to(out, "Load: {:.2f} {:.2f} {:.2f}", contents.load->load1,
                       contents.load->load5, contents.load->load15);
    if (contents.swap)
        fmt::format_to(out, "   Swap: {} / {}",
                       format_byte_amount(static_cast<double>(contents.swap->used_bytes)),
                       format_byte_amount(static_cast<double>(contents.swap->total_bytes)));
    if (contents.arc)
        fmt::format_to(out, "   ARC: {}",
                       format_byte_amount(static_cast<double>(contents.arc->size_bytes)));
    return line;
}

std::vector<std::string> fixed_lines(const FrameContents& contents)
{
    std::vector<std::string> lines = {"kelmar-host-perfdata - top-like (Ctrl-C to quit)", ""};
    if (contents.cpu) {
        const CpuShares& cpu = *contents.cpu;
        lines.push_back(fmt::format(
            "CPU:  {:5.1f}% busy   user {:.1f}%  sys {:.1f}%  intr {:.1f}%  idle {:.1f}%", cpu.busy,
            cpu.user, cpu.sys, cpu.intr, cpu.idle));
    }
    if (contents.memory) {
        const MemoryUsage& memory = *contents.memory;
        const double used_percent = memory.total_bytes != 0
                                        ? static_cast<double>(memory.used_bytes) /
                                              static_cast<double>(memory.total_bytes) * 100
                                        : 0.0;
        lines.push_back(fmt::format("Mem:  {} / {} used ({:.1f}%)",
                                    format_byte_amount(static_cast<double>(memory.used_bytes)),
                                    format_byte_amount(static_cast<double>(memory.total_bytes)),
                                    used_percent));
    }
    if (std::string summary = summary_line(contents); !summary.empty())
        lines.push_back(std::move(summary));
    return lines;
}

TableLines disk_table(const std::vector<DiskRow>& rows)
{
    TableLines table{
        "disk", fmt::format("{:<12} {:>7}  {:>12}  {:>12}", "Disk", "busy", "read", "write"), {}};
    for (const DiskRow& row : rows) {
        const DiskRates& rates = row.rates;
        table.rows.push_back(TableRow{
            fmt::format("{:<12} {:6.1f}%  {:>12}  {:>12}", printable(row.name), rates.busy_percent,
                        format_byte_rate(rates.read_bytes_per_second),
                        format_byte_rate(rates.write_bytes_per_second)),
            rates.busy_percent == 0 && rates.read_bytes_per_second == 0 &&
                rates.write_bytes_per_second == 0,
        });
    }
    return table;
}

TableLines interface_table(const std::vector<InterfaceRow>& rows)
{
    TableLines table{
        "interface",
        fmt::format("{:<12} {:>12}  {:>12}  {:>9}  {:>9}", "Iface", "rx", "tx", "rx pps", "tx pps"),
        {}};
    for (const InterfaceRow& row : rows) {
        const InterfaceRates& rates = row.rates;
        table.rows.push_back(TableRow{
            fmt::format("{:<12} {:>12}  {:>12}  {:>9.0f}  {:>9.0f}", printable(row.name),
                        format_byte_rate(rates.rx_bytes_per_second),
                        format_byte_rate(rates.tx_bytes_per_second), rates.rx_packets_per_second,
                        rates.tx_packets_per_second),
            rates.rx_bytes_per_second == 0 && rates.tx_bytes_per_second == 0 &&
                rates.rx_packets_per_second == 0 && rates.tx_packets_per_second == 0,
        });
    }
    return table;
}

}  // namespace

CpuShares compute_cpu_shares(const CpuTimes& current, const CpuTimes& previous)
{
    const double user = current.user - previous.user;
    const double nice = current.nice - previous.nice;
    const double system = current.system - previous.system;
    const double interrupt = current.interrupt - previous.interrupt;
    const double idle = current.idle - previous.idle;
    const double elapsed = user + nice + system + interrupt + idle;
    // With no CPU time passed the shares are all 0; dividing by 1 keeps them
    // finite, and busy is counted from the time that passed, not from the
    // divisor, so a stalled counter does not read as 100% busy.
    const double total = elapsed > 0 ? elapsed : 1;
    return CpuShares{
        std::clamp((elapsed - idle) / total * 100, 0.0, 100.0),
        user / total * 100,
        system / total * 100,
        interrupt / total * 100,
        idle / total * 100,
    };
}

std::string format_byte_amount(double bytes)
{
    int unit = 0;
    while (bytes >= 1024 && unit < largest_unit) {
        bytes *= one_unit_down;
        ++unit;
    }
    return fmt::format("{:.1f} {}", bytes, byte_units[unit]);
}

std::string format_byte_rate(double bytes_per_second)
{
    return format_byte_amount(bytes_per_second) + "/s";
}

std::string build_frame(const FrameContents& contents, std::optional<WindowSize> window)
{
    ScreenLines screen{fixed_lines(contents), {}};
    if (contents.disks)
        screen.tables.push_back(disk_table(*contents.disks));
    if (contents.interfaces)
        screen.tables.push_back(interface_table(*contents.interfaces));
    const std::vector<std::string> lines = window ? fit_lines(screen, *window) : all_lines(screen);

    std::string frame = "\x1b[2J\x1b[H";
    for (const std::string& line : lines) {
        frame += line;
        frame += '\n';
    }
    // A newline after the window's last row would scroll the title away.
    if (window && !lines.empty() && lines.size() == window->rows)
        frame.pop_back();
    return frame;
}
