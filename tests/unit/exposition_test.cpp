#include <errno.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/exporter.hpp"
#include "exposition/exposition.hpp"
#include "fake_geom.hpp"

namespace {

TEST(Exposition, ScalarFamiliesHaveTheirExactText)
{
    std::string text;
    append_cpu_families(text, "kelmar_host", CpuTimes{12.5, 0, 3, 0.25, 1000});
    append_memory_families(text, "kelmar_host", MemoryUsage{17179869184, 0});
    append_swap_families(text, "kelmar_host", SwapUsage{0, 0});
    append_load_families(text, "kelmar_host", LoadAverages{2, 0.5, 1e-05});
    append_arc_families(text, "kelmar_host", ArcSizes{18446744073709551615u, 0});
    append_build_info(text, "kelmar_host", "0a1b2c3d");
    EXPECT_EQ(text, R"(# HELP kelmar_host_cpu_seconds_total CPU time spent per mode, in seconds.
# TYPE kelmar_host_cpu_seconds_total counter
kelmar_host_cpu_seconds_total{mode="user"} 12.5
kelmar_host_cpu_seconds_total{mode="nice"} 0
kelmar_host_cpu_seconds_total{mode="system"} 3
kelmar_host_cpu_seconds_total{mode="interrupt"} 0.25
kelmar_host_cpu_seconds_total{mode="idle"} 1000
# HELP kelmar_host_memory_total_bytes Total physical memory, in bytes.
# TYPE kelmar_host_memory_total_bytes gauge
kelmar_host_memory_total_bytes 17179869184
# HELP kelmar_host_memory_used_bytes Used physical memory (total - free), in bytes.
# TYPE kelmar_host_memory_used_bytes gauge
kelmar_host_memory_used_bytes 0
# HELP kelmar_host_swap_total_bytes Total swap, in bytes.
# TYPE kelmar_host_swap_total_bytes gauge
kelmar_host_swap_total_bytes 0
# HELP kelmar_host_swap_used_bytes Used swap, in bytes.
# TYPE kelmar_host_swap_used_bytes gauge
kelmar_host_swap_used_bytes 0
# HELP kelmar_host_load1 1-minute load average.
# TYPE kelmar_host_load1 gauge
kelmar_host_load1 2
# HELP kelmar_host_load5 5-minute load average.
# TYPE kelmar_host_load5 gauge
kelmar_host_load5 0.5
# HELP kelmar_host_load15 15-minute load average.
# TYPE kelmar_host_load15 gauge
kelmar_host_load15 1e-05
# HELP kelmar_host_zfs_arc_size_bytes Current ZFS ARC size, in bytes.
# TYPE kelmar_host_zfs_arc_size_bytes gauge
kelmar_host_zfs_arc_size_bytes 18446744073709551615
# HELP kelmar_host_zfs_arc_c_max_bytes ZFS ARC target maximum, in bytes.
# TYPE kelmar_host_zfs_arc_c_max_bytes gauge
kelmar_host_zfs_arc_c_max_bytes 0
# HELP kelmar_host_build_info Build information (value is always 1).
# TYPE kelmar_host_build_info gauge
kelmar_host_build_info{version="0a1b2c3d"} 1
)");
}

TEST(Exposition, DoublesPrefixAndEscapes)
{
    for (const char* number :
         {"35.160000000000004", "0.3333333333333333", "123456789", "1e+21", "0.0001", "1.5e-07"}) {
        std::string text;
        append_load_families(text, "p", LoadAverages{std::strtod(number, nullptr), 0, 0});
        EXPECT_NE(text.find(std::string("\np_load1 ") + number + "\n"), std::string::npos) << text;
    }

    std::string text;
    append_load_families(text, "", LoadAverages{1, 2, 3});
    EXPECT_TRUE(text.starts_with("# HELP _load1 1-minute load average.\n"
                                 "# TYPE _load1 gauge\n_load1 1\n"))
        << text;

    const std::string odd = "a\\b\"c\nd", escaped = "\"a\\\\b\\\"c\\nd\"} 1\n";
    append_build_info(text, "p", odd);
    append_disk_families(text, "p", {DiskSample{odd, 1, 0, 0, 0, 0}});
    append_interface_families(text, "p", {{odd, 1, 0, 0, 0, 0, 0, 0}});
    for (const std::string& sample :
         {"p_build_info{version=" + escaped, "p_disk_read_bytes_total{device=" + escaped,
          "p_network_receive_bytes_total{device=" + escaped})
        EXPECT_NE(text.find(sample), std::string::npos) << sample;
}

TEST(Exposition, DeviceFamiliesListEveryDeviceBeforeTheNextFamilyStarts)
{
    const char* const families[][2] = {
        {"disk_read_bytes", "Bytes read per disk."},
        {"disk_write_bytes", "Bytes written per disk."},
        {"disk_read_ops", "Read operations per disk."},
        {"disk_write_ops", "Write operations per disk."},
        {"disk_busy_seconds", "Time the disk was busy, in seconds."},
        {"network_receive_bytes", "Bytes received per interface."},
        {"network_transmit_bytes", "Bytes transmitted per interface."},
        {"network_receive_packets", "Packets received per interface."},
        {"network_transmit_packets", "Packets transmitted per interface."},
        {"network_receive_errors", "Receive errors per interface."},
        {"network_transmit_errors", "Transmit errors per interface."},
        {"network_receive_drops", "Packets dropped on input per interface."},
    };
    std::string expected, disk_heads;
    for (int family = 0; family < 12; ++family) {
        const std::string name = std::string("p_") + families[family][0] + "_total";
        const std::string head =
            "# HELP " + name + " " + families[family][1] + "\n# TYPE " + name + " counter\n";
        const int value = family < 5 ? family + 1 : family - 4;
        disk_heads += family < 5 ? head : "";
        expected += head + name + "{device=\"A\"} " + std::to_string(value) + "\n" + name +
                    "{device=\"B\"} " + std::to_string(value + 10) + "\n";
    }
    std::string text;
    append_disk_families(text, "p", {{"A", 1, 2, 3, 4, 5}, {"B", 11, 12, 13, 14, 15}});
    append_interface_families(text, "p",
                              {{"A", 1, 2, 3, 4, 5, 6, 7}, {"B", 11, 12, 13, 14, 15, 16, 17}});
    EXPECT_EQ(text, expected);

    text.clear();
    append_disk_families(text, "p", {});
    EXPECT_EQ(text, disk_heads);
}

TEST(Exposition, ManyDevicesAndVeryLongNamesComeOutWhole)
{
    // Lines enough to fill the renderer's line array many times over, and a
    // name longer than the whole array.
    std::vector<InterfaceSample> interfaces;
    for (std::uint64_t i = 0; i < 2000; ++i)
        interfaces.push_back({"veth" + std::to_string(i), i * 1000003, 0, 0, 0, 0, 0, 0});
    interfaces.push_back({std::string(10000, 'n'), 18446744073709551615u, 0, 0, 0, 0, 0, 0});
    interfaces.push_back({"last", 1, 0, 0, 0, 0, 0, 0});
    std::string expected = "# TYPE p_network_receive_bytes_total counter\n";
    for (const InterfaceSample& interface : interfaces)
        expected += "p_network_receive_bytes_total{device=\"" + interface.name + "\"} " +
                    std::to_string(interface.rx_bytes) + "\n";
    expected += "# HELP p_network_transmit_bytes_total";

    std::string text;
    append_interface_families(text, "p", interfaces);
    EXPECT_NE(text.find(expected), std::string::npos);
}

TEST(Exposition, AHandleThatIsNotReadyLeavesTheDiskFamiliesOut)
{
    fake_geom::reset();
    fake_geom::kernel.stats_open_error = ENXIO;
    const std::string text = Exporter("p", "0123abcd").render();
    EXPECT_EQ(text.find("_disk_"), std::string::npos);
    EXPECT_NE(text.find("p_build_info{version=\"0123abcd\"} 1\n"), std::string::npos);
}

}  // namespace
