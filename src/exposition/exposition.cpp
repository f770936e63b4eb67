#include "exposition/exposition.hpp"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

namespace {

// A label value as the exposition format wants it: backslash, double quote and
// newline escaped. A raw quote in a device name would make the scraper reject
// the whole text, and so would a name that is not UTF-8 (interface names may
// hold any byte): each byte outside a valid UTF-8 sequence becomes U+FFFD.
struct LabelValue {
    std::string_view text;
};

// The length of the valid UTF-8 sequence at the start of `text` (which begins
// with a byte of 0x80 or more), or 0: no overlong forms, no surrogates,
// nothing above U+10FFFF.
std::size_t utf8_sequence_length(std::string_view text)
{
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t at = 2; at < length; ++at)
        if (byte(at) < 0x80 || byte(at) > 0xbf)
            return 0;
    return length;
}

}  // namespace

template <> struct fmt::formatter<LabelValue> {
    constexpr auto parse(format_parse_context& context)
    {
        return context.begin();
    }

    template <typename Context> auto format(const LabelValue& value, Context& context) const
    {
        auto out = context.out();
        const std::string_view text = value.text;
        // Names seldom need escaping or replacing: copy the plain runs whole.
        std::size_t run = 0;
        std::size_t at = 0;
        const auto flush = [&] { out = std::copy(text.begin() + run, text.begin() + at, out); };
        while (at < text.size()) {
            const char c = text[at];
            if (static_cast<unsigned char>(c) >= 0x80) {
                const std::size_t length = utf8_sequence_length(text.substr(at));
                if (length > 0) {
                    at += length;
                    continue;
                }
                flush();
                out = std::copy_n("\xef\xbf\xbd", 3, out);
            } else if (c == '\\' || c == '"' || c == '\n') {
                flush();
                *out++ = '\\';
                *out++ = c == '\n' ? 'n' : c;
            } else {
                ++at;
                continue;
            }
            run = ++at;
        }
        flush();
        return out;
    }
};

namespace {

// Formats are compiled ahead (FMT_COMPILE): a scrape formats every line anew,
// and parsing the format text each time would cost more than the formatting.
// Lines go through a stack buffer: formatting straight into the string would
// resize it for every line.
template <typename Format, typename... Args>
void append(std::string& text, const Format& format, const Args&... args)
{
    fmt::basic_memory_buffer<char, 512> line;
    fmt::format_to(fmt::appender(line), format, args...);
    text.append(line.data(), line.size());
}

// The short pieces of a sample line are moved as blocks of this size: a few
// vector moves instead of a call to memcpy for each. What a block carries past
// its piece is overwritten by the rest of the line; the pieces' sources are
// padded so that a whole block can be read, and the text has a block of room
// behind its last line.
constexpr std::size_t piece_block = 64;
constexpr char piece_padding[piece_block] = {};

char* copy_piece(std::string_view piece, char* out)
{
    if (piece.size() <= piece_block)
        std::memcpy(out, piece.data(), piece_block);
    else
        std::memcpy(out, piece.data(), piece.size());
    return out + piece.size();
}

// Every device's label value, formatted once for all the families that name
// the device.
class DeviceLabels {
public:
    template <typename Sample> explicit DeviceLabels(const std::vector<Sample>& devices)
    {
        std::size_t names = 0;
        for (const Sample& device : devices)
            names += device.name.size();
        values.reserve(names + piece_block);  // most names need no escaping
        ends.reserve(devices.size());
        for (const Sample& device : devices) {
            fmt::format_to(fmt::appender(values), FMT_COMPILE("{}"), LabelValue{device.name});
            ends.push_back(values.size());
        }
        values.append(piece_padding, piece_padding + piece_block);
    }

    std::size_t size() const
    {
        return ends.size();
    }

    // The length of the label values of devices `first` up to `last`.
    std::size_t length(std::size_t first, std::size_t last) const
    {
        return offset(last) - offset(first);
    }

    std::size_t total_length() const
    {
        return length(0, size());
    }

    // A device's label value, with a block's worth of readable bytes behind it.
    std::string_view operator[](std::size_t device) const
    {
        return {values.data() + offset(device), offset(device + 1) - offset(device)};
    }

private:
    std::size_t offset(std::size_t device) const
    {
        return device == 0 ? 0 : ends[device - 1];
    }

    fmt::memory_buffer values;
    std::vector<std::size_t> ends;
};

// Room for `families` per-device families at once. Growing a large text by
// doubling would copy it several times and, for a moment, hold two copies of
// it; one reservation ahead of the families avoids both. A line is at most the
// prefix, the longest fixed text, the label value and twenty digits.
void reserve_device_families(std::string& text, std::string_view prefix, const DeviceLabels& labels,
                             std::size_t families)
{
    constexpr std::size_t head_bound = 256;
    constexpr std::size_t line_bound = 64 + 20;
    text.reserve(text.size() +
                 families * (head_bound + 2 * prefix.size() +
                             labels.size() * (prefix.size() + line_bound) + labels.total_length()));
}

// A family's sample lines are written straight into the text, the parts that
// are the same on every line copied whole: with a thousand interfaces the
// lines are most of the rendering, and a general formatter would copy each
// line piece by piece, or into a buffer and then once more. Room is made for a
// run of lines at a time, bounded by their label values' real lengths, and the
// unused rest cut off after; a bound for a whole family would touch pages
// behind the text's end that it never fills.
template <typename Head, typename Sample, typename Value>
void append_device_family(std::string& text, std::string_view prefix, const Head& head,
                          std::string_view metric, const std::vector<Sample>& devices,
                          const DeviceLabels& labels, Value Sample::*field)
{
    append(text, head, prefix);
    fmt::basic_memory_buffer<char, 256> start_buffer;
    fmt::format_to(fmt::appender(start_buffer), FMT_COMPILE("{}_{}{{device=\""), prefix, metric);
    const std::size_t start_length = start_buffer.size();
    start_buffer.append(piece_padding, piece_padding + piece_block);
    const std::string_view start(start_buffer.data(), start_length);
    constexpr std::string_view middle = "\"} ";
    constexpr std::size_t value_bound = 32;  // the longest integer or shortest double, and "\n"
    constexpr std::size_t run = 128;
    for (std::size_t first = 0; first < devices.size(); first += run) {
        const std::size_t last = std::min(first + run, devices.size());
        const std::size_t used = text.size();
        text.resize(used + (last - first) * (start.size() + middle.size() + value_bound) +
                    labels.length(first, last) + piece_block);
        char* out = text.data() + used;
        for (std::size_t device = first; device < last; ++device) {
            out = copy_piece(start, out);
            out = copy_piece(labels[device], out);
            out = std::copy_n(middle.data(), middle.size(), out);
            out = fmt::format_to(out, FMT_COMPILE("{}"), devices[device].*field);
            *out++ = '\n';
        }
        text.resize(static_cast<std::size_t>(out - text.data()));
    }
}

}  // namespace

void append_cpu_families(std::string& text, std::string_view prefix, const CpuTimes& cpu)
{
    append(text,
           FMT_COMPILE("# HELP {0}_cpu_seconds_total CPU time spent per mode, in seconds.\n"
                       "# TYPE {0}_cpu_seconds_total counter\n"),
           prefix);
    append(text, FMT_COMPILE("{}_cpu_seconds_total{{mode=\"user\"}} {}\n"), prefix, cpu.user);
    append(text, FMT_COMPILE("{}_cpu_seconds_total{{mode=\"nice\"}} {}\n"), prefix, cpu.nice);
    append(text, FMT_COMPILE("{}_cpu_seconds_total{{mode=\"system\"}} {}\n"), prefix, cpu.system);
    append(text, FMT_COMPILE("{}_cpu_seconds_total{{mode=\"interrupt\"}} {}\n"), prefix,
           cpu.interrupt);
    append(text, FMT_COMPILE("{}_cpu_seconds_total{{mode=\"idle\"}} {}\n"), prefix, cpu.idle);
}

void append_memory_families(std::string& text, std::string_view prefix, const MemoryUsage& memory)
{
    append(text,
           FMT_COMPILE("# HELP {0}_memory_total_bytes Total physical memory, in bytes.\n"
                       "# TYPE {0}_memory_total_bytes gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_memory_total_bytes {}\n"), prefix, memory.total_bytes);
    append(
        text,
        FMT_COMPILE("# HELP {0}_memory_used_bytes Used physical memory (total - free), in bytes.\n"
                    "# TYPE {0}_memory_used_bytes gauge\n"),
        prefix);
    append(text, FMT_COMPILE("{}_memory_used_bytes {}\n"), prefix, memory.used_bytes);
}

void append_swap_families(std::string& text, std::string_view prefix, const SwapUsage& swap)
{
    append(text,
           FMT_COMPILE("# HELP {0}_swap_total_bytes Total swap, in bytes.\n"
                       "# TYPE {0}_swap_total_bytes gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_swap_total_bytes {}\n"), prefix, swap.total_bytes);
    append(text,
           FMT_COMPILE("# HELP {0}_swap_used_bytes Used swap, in bytes.\n"
                       "# TYPE {0}_swap_used_bytes gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_swap_used_bytes {}\n"), prefix, swap.used_bytes);
}

void append_load_families(std::string& text, std::string_view prefix, const LoadAverages& load)
{
    append(text, FMT_COMPILE("# HELP {0}_load1 1-minute load average.\n# TYPE {0}_load1 gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_load1 {}\n"), prefix, load.load1);
    append(text, FMT_COMPILE("# HELP {0}_load5 5-minute load average.\n# TYPE {0}_load5 gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_load5 {}\n"), prefix, load.load5);
    append(text,
           FMT_COMPILE("# HELP {0}_load15 15-minute load average.\n# TYPE {0}_load15 gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_load15 {}\n"), prefix, load.load15);
}

void append_arc_families(std::string& text, std::string_view prefix, const ArcSizes& arc)
{
    append(text,
           FMT_COMPILE("# HELP {0}_zfs_arc_size_bytes Current ZFS ARC size, in bytes.\n"
                       "# TYPE {0}_zfs_arc_size_bytes gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_zfs_arc_size_bytes {}\n"), prefix, arc.size_bytes);
    append(text,
           FMT_COMPILE("# HELP {0}_zfs_arc_c_max_bytes ZFS ARC target maximum, in bytes.\n"
                       "# TYPE {0}_zfs_arc_c_max_bytes gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_zfs_arc_c_max_bytes {}\n"), prefix, arc.c_max_bytes);
}

void append_disk_families(std::string& text, std::string_view prefix,
                          const std::vector<DiskSample>& disks)
{
    const DeviceLabels labels(disks);
    reserve_device_families(text, prefix, labels, 5);
    append_device_family(text, prefix,
                         FMT_COMPILE("# HELP {0}_disk_read_bytes_total Bytes read per disk.\n"
                                     "# TYPE {0}_disk_read_bytes_total counter\n"),
                         "disk_read_bytes_total", disks, labels, &DiskSample::read_bytes);
    append_device_family(text, prefix,
                         FMT_COMPILE("# HELP {0}_disk_write_bytes_total Bytes written per disk.\n"
                                     "# TYPE {0}_disk_write_bytes_total counter\n"),
                         "disk_write_bytes_total", disks, labels, &DiskSample::write_bytes);
    append_device_family(text, prefix,
                         FMT_COMPILE("# HELP {0}_disk_read_ops_total Read operations per disk.\n"
                                     "# TYPE {0}_disk_read_ops_total counter\n"),
                         "disk_read_ops_total", disks, labels, &DiskSample::read_ops);
    append_device_family(text, prefix,
                         FMT_COMPILE("# HELP {0}_disk_write_ops_total Write operations per disk.\n"
                                     "# TYPE {0}_disk_write_ops_total counter\n"),
                         "disk_write_ops_total", disks, labels, &DiskSample::write_ops);
    append_device_family(
        text, prefix,
        FMT_COMPILE("# HELP {0}_disk_busy_seconds_total Time the disk was busy, in seconds.\n"
                    "# TYPE {0}_disk_busy_seconds_total counter\n"),
        "disk_busy_seconds_total", disks, labels, &DiskSample::busy_seconds);
}

void append_interface_families(std::string& text, std::string_view prefix,
                               const std::vector<InterfaceSample>& interfaces)
{
    const DeviceLabels labels(interfaces);
    reserve_device_families(text, prefix, labels, 7);
    append_device_family(
        text, prefix,
        FMT_COMPILE("# HELP {0}_network_receive_bytes_total Bytes received per interface.\n"
                    "# TYPE {0}_network_receive_bytes_total counter\n"),
        "network_receive_bytes_total", interfaces, labels, &InterfaceSample::rx_bytes);
    append_device_family(
        text, prefix,
        FMT_COMPILE("# HELP {0}_network_transmit_bytes_total Bytes transmitted per interface.\n"
                    "# TYPE {0}_network_transmit_bytes_total counter\n"),
        "network_transmit_bytes_total", interfaces, labels, &InterfaceSample::tx_bytes);
    append_device_family(
        text, prefix,
        FMT_COMPILE("# HELP {0}_network_receive_packets_total Packets received per interface.\n"
                    "# TYPE {0}_network_receive_packets_total counter\n"),
        "network_receive_packets_total", interfaces, labels, &InterfaceSample::rx_packets);
    append_device_family(
        text, prefix,
        FMT_COMPILE("# HELP {0}_network_transmit_packets_total Packets transmitted per interface.\n"
                    "# TYPE {0}_network_transmit_packets_total counter\n"),
        "network_transmit_packets_total", interfaces, labels, &InterfaceSample::tx_packets);
    append_device_family(
        text, prefix,
        FMT_COMPILE("# HELP {0}_network_receive_errors_total Receive errors per interface.\n"
                    "# TYPE {0}_network_receive_errors_total counter\n"),
        "network_receive_errors_total", interfaces, labels, &InterfaceSample::rx_errors);
    append_device_family(
        text, prefix,
        FMT_COMPILE("# HELP {0}_network_transmit_errors_total Transmit errors per interface.\n"
                    "# TYPE {0}_network_transmit_errors_total counter\n"),
        "network_transmit_errors_total", interfaces, labels, &InterfaceSample::tx_errors);
    append_device_family(
        text, prefix,
        FMT_COMPILE(
            "# HELP {0}_network_receive_drops_total Packets dropped on input per interface.\n"
            "# TYPE {0}_network_receive_drops_total counter\n"),
        "network_receive_drops_total", interfaces, labels, &InterfaceSample::rx_drops);
}

void append_build_info(std::string& text, std::string_view prefix, std::string_view version)
{
    append(text,
           FMT_COMPILE("# HELP {0}_build_info Build information (value is always 1).\n"
                       "# TYPE {0}_build_info gauge\n"),
           prefix);
    append(text, FMT_COMPILE("{}_build_info{{version=\"{}\"}} 1\n"), prefix, LabelValue{version});
}

bool is_valid_metrics_prefix(std::string_view prefix)
{
    const auto is_first = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    };
    const auto is_rest = [&](char c) { return is_first(c) || (c >= '0' && c <= '9'); };
    return prefix.empty() ||
           (is_first(prefix.front()) && std::all_of(prefix.begin() + 1, prefix.end(), is_rest));
}
