#include "exposition/exposition.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace {

// A label value as the exposition format wants it: backslash, double quote and
// newline escaped. A raw quote in a device name would make the scraper reject
// the whole text.
struct LabelValue {
    std::string_view text;
};

}  // namespace

template <> struct fmt::formatter<LabelValue> {
    constexpr auto parse(format_parse_context& context)
    {
        return context.begin();
    }

    template <typename Context> auto format(const LabelValue& value, Context& context) const
    {
        auto out = context.out();
        for (const char c : value.text) {
            switch (c) {
            case '\\': out = std::copy_n("\\\\", 2, out); break;
            case '"': out = std::copy_n("\\\"", 2, out); break;
            case '\n': out = std::copy_n("\\n", 2, out); break;
            default: *out++ = c;
            }
        }
        return out;
    }
};

namespace {

template <typename... Args>
void append(std::string& text, fmt::format_string<Args...> format, Args&&... args)
{
    fmt::format_to(std::back_inserter(text), format, std::forward<Args>(args)...);
}

// One per-device family: its HELP/TYPE lines, then one sample per device in
// list order.
template <typename Sample, typename Value>
void append_device_family(std::string& text, std::string_view prefix,
                          fmt::format_string<std::string_view&> head,
                          fmt::format_string<std::string_view&, LabelValue, const Value&> sample,
                          const std::vector<Sample>& devices, Value Sample::*field)
{
    append(text, head, prefix);
    for (const Sample& device : devices)
        append(text, sample, prefix, LabelValue{device.name}, device.*field);
}

}  // namespace

void append_cpu_families(std::string& text, std::string_view prefix, const CpuTimes& cpu)
{
    append(text,
           "# HELP {0}_cpu_seconds_total CPU time spent per mode, in seconds.\n"
           "# TYPE {0}_cpu_seconds_total counter\n",
           prefix);
    append(text, "{}_cpu_seconds_total{{mode=\"user\"}} {}\n", prefix, cpu.user);
    append(text, "{}_cpu_seconds_total{{mode=\"nice\"}} {}\n", prefix, cpu.nice);
    append(text, "{}_cpu_seconds_total{{mode=\"system\"}} {}\n", prefix, cpu.system);
    append(text, "{}_cpu_seconds_total{{mode=\"interrupt\"}} {}\n", prefix, cpu.interrupt);
    append(text, "{}_cpu_seconds_total{{mode=\"idle\"}} {}\n", prefix, cpu.idle);
}

void append_memory_families(std::string& text, std::string_view prefix, const MemoryUsage& memory)
{
    append(text,
           "# HELP {0}_memory_total_bytes Total physical memory, in bytes.\n"
           "# TYPE {0}_memory_total_bytes gauge\n",
           prefix);
    append(text, "{}_memory_total_bytes {}\n", prefix, memory.total_bytes);
    append(text,
           "# HELP {0}_memory_used_bytes Used physical memory (total - free), in bytes.\n"
           "# TYPE {0}_memory_used_bytes gauge\n",
           prefix);
    append(text, "{}_memory_used_bytes {}\n", prefix, memory.used_bytes);
}

void append_swap_families(std::string& text, std::string_view prefix, const SwapUsage& swap)
{
    append(text,
           "# HELP {0}_swap_total_bytes Total swap, in bytes.\n"
           "# TYPE {0}_swap_total_bytes gauge\n",
           prefix);
    append(text, "{}_swap_total_bytes {}\n", prefix, swap.total_bytes);
    append(text,
           "# HELP {0}_swap_used_bytes Used swap, in bytes.\n"
           "# TYPE {0}_swap_used_bytes gauge\n",
           prefix);
    append(text, "{}_swap_used_bytes {}\n", prefix, swap.used_bytes);
}

void append_load_families(std::string& text, std::string_view prefix, const LoadAverages& load)
{
    append(text, "# HELP {0}_load1 1-minute load average.\n# TYPE {0}_load1 gauge\n", prefix);
    append(text, "{}_load1 {}\n", prefix, load.load1);
    append(text, "# HELP {0}_load5 5-minute load average.\n# TYPE {0}_load5 gauge\n", prefix);
    append(text, "{}_load5 {}\n", prefix, load.load5);
    append(text, "# HELP {0}_load15 15-minute load average.\n# TYPE {0}_load15 gauge\n", prefix);
    append(text, "{}_load15 {}\n", prefix, load.load15);
}

void append_arc_families(std::string& text, std::string_view prefix, const ArcSizes& arc)
{
    append(text,
           "# HELP {0}_zfs_arc_size_bytes Current ZFS ARC size, in bytes.\n"
           "# TYPE {0}_zfs_arc_size_bytes gauge\n",
           prefix);
    append(text, "{}_zfs_arc_size_bytes {}\n", prefix, arc.size_bytes);
    append(text,
           "# HELP {0}_zfs_arc_c_max_bytes ZFS ARC target maximum, in bytes.\n"
           "# TYPE {0}_zfs_arc_c_max_bytes gauge\n",
           prefix);
    append(text, "{}_zfs_arc_c_max_bytes {}\n", prefix, arc.c_max_bytes);
}

void append_disk_families(std::string& text, std::string_view prefix,
                          const std::vector<DiskSample>& disks)
{
    append_device_family(text, prefix,
                         "# HELP {0}_disk_read_bytes_total Bytes read per disk.\n"
                         "# TYPE {0}_disk_read_bytes_total counter\n",
                         "{}_disk_read_bytes_total{{device=\"{}\"}} {}\n", disks,
                         &DiskSample::read_bytes);
    append_device_family(text, prefix,
                         "# HELP {0}_disk_write_bytes_total Bytes written per disk.\n"
                         "# TYPE {0}_disk_write_bytes_total counter\n",
                         "{}_disk_write_bytes_total{{device=\"{}\"}} {}\n", disks,
                         &DiskSample::write_bytes);
    append_device_family(text, prefix,
                         "# HELP {0}_disk_read_ops_total Read operations per disk.\n"
                         "# TYPE {0}_disk_read_ops_total counter\n",
                         "{}_disk_read_ops_total{{device=\"{}\"}} {}\n", disks,
                         &DiskSample::read_ops);
    append_device_family(text, prefix,
                         "# HELP {0}_disk_write_ops_total Write operations per disk.\n"
                         "# TYPE {0}_disk_write_ops_total counter\n",
                         "{}_disk_write_ops_total{{device=\"{}\"}} {}\n", disks,
                         &DiskSample::write_ops);
    append_device_family(text, prefix,
                         "# HELP {0}_disk_busy_seconds_total Time the disk was busy, in seconds.\n"
                         "# TYPE {0}_disk_busy_seconds_total counter\n",
                         "{}_disk_busy_seconds_total{{device=\"{}\"}} {}\n", disks,
                         &DiskSample::busy_seconds);
}

void append_interface_families(std::string& text, std::string_view prefix,
                               const std::vector<InterfaceSample>& interfaces)
{
    append_device_family(text, prefix,
                         "# HELP {0}_network_receive_bytes_total Bytes received per interface.\n"
                         "# TYPE {0}_network_receive_bytes_total counter\n",
                         "{}_network_receive_bytes_total{{device=\"{}\"}} {}\n", interfaces,
                         &InterfaceSample::rx_bytes);
    append_device_family(
        text, prefix,
        "# HELP {0}_network_transmit_bytes_total Bytes transmitted per interface.\n"
        "# TYPE {0}_network_transmit_bytes_total counter\n",
        "{}_network_transmit_bytes_total{{device=\"{}\"}} {}\n", interfaces,
        &InterfaceSample::tx_bytes);
    append_device_family(
        text, prefix,
        "# HELP {0}_network_receive_packets_total Packets received per interface.\n"
        "# TYPE {0}_network_receive_packets_total counter\n",
        "{}_network_receive_packets_total{{device=\"{}\"}} {}\n", interfaces,
        &InterfaceSample::rx_packets);
    append_device_family(
        text, prefix,
        "# HELP {0}_network_transmit_packets_total Packets transmitted per interface.\n"
        "# TYPE {0}_network_transmit_packets_total counter\n",
        "{}_network_transmit_packets_total{{device=\"{}\"}} {}\n", interfaces,
        &InterfaceSample::tx_packets);
    append_device_family(text, prefix,
                         "# HELP {0}_network_receive_errors_total Receive errors per interface.\n"
                         "# TYPE {0}_network_receive_errors_total counter\n",
                         "{}_network_receive_errors_total{{device=\"{}\"}} {}\n", interfaces,
                         &InterfaceSample::rx_errors);
    append_device_family(text, prefix,
                         "# HELP {0}_network_transmit_errors_total Transmit errors per interface.\n"
                         "# TYPE {0}_network_transmit_errors_total counter\n",
                         "{}_network_transmit_errors_total{{device=\"{}\"}} {}\n", interfaces,
                         &InterfaceSample::tx_errors);
    append_device_family(
        text, prefix,
        "# HELP {0}_network_receive_drops_total Packets dropped on input per interface.\n"
        "# TYPE {0}_network_receive_drops_total counter\n",
        "{}_network_receive_drops_total{{device=\"{}\"}} {}\n", interfaces,
        &InterfaceSample::rx_drops);
}

void append_build_info(std::string& text, std::string_view prefix, std::string_view version)
{
    append(text,
           "# HELP {0}_build_info Build information (value is always 1).\n"
           "# TYPE {0}_build_info gauge\n",
           prefix);
    append(text, "{}_build_info{{version=\"{}\"}} 1\n", prefix, LabelValue{version});
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
