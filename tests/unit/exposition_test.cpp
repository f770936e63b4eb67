#include <errno.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <vm/vm_param.h>
#include <net/if.h>
#include <net/if_mib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "app/exporter.hpp"
#include "exposition/exposition.hpp"
#include "fake_geom.hpp"
#include "fake_kernel.hpp"

namespace {

// Every family in the order a scrape has them, each value distinct.
TEST(Exposition, EveryFamilyHasItsExactText)
{
    std::string text;
    // Doubles in their shortest exact form.
    append_cpu_families(text, "kelmar_host", CpuTimes{12.5, 123456789, 1e+21, 0.0001, 1.5e-07});
    append_memory_families(text, "kelmar_host", MemoryUsage{17179869184, 5368709120});
    append_swap_families(text, "kelmar_host", SwapUsage{2147483648, 1048576});
    append_load_families(text, "kelmar_host", LoadAverages{35.160000000000004, 1.0 / 3, 1e-05});
    append_arc_families(text, "kelmar_host", ArcSizes{18446744073709551615u, 4294967296});
    append_disk_families(text, "kelmar_host", {{"A", 1, 2, 3, 4, 5}, {"B", 11, 12, 13, 14, 15.5}});
    append_interface_families(text, "kelmar_host",
                              {{"A", 1, 2, 3, 4, 5, 6, 7}, {"B", 11, 12, 13, 14, 15, 16, 17}});
    append_build_info(text, "kelmar_host", "0a1b2c3d");
    std::ifstream golden(KELMAR_FIXTURES "/exposition/families.prom");
    EXPECT_EQ(text, std::string(std::istreambuf_iterator<char>(golden), {}));

    // No disks: the families are still declared.
    text.clear();
    append_disk_families(text, "p", {});
    EXPECT_EQ(text.substr(0, text.find("counter\n") + 8),
              "# HELP p_disk_read_bytes_total Bytes read per disk.\n"
              "# TYPE p_disk_read_bytes_total counter\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);
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

// The sources of a host with one disk and one interface, all answering but
// the one named `failing` (or none, with "all").
void answer_readings_but(const std::string& failing)
{
    using namespace fake_kernel;
    reset();
    fake_geom::reset();
    const auto answers = [&](const char* reading) {
        return failing != reading && failing != "all";
    };
    if (answers("cpu"))
        set_named_value("kern.cp_time", std::array<std::int64_t, 5>{1, 2, 3, 4, 5});
    if (answers("memory")) {
        set_named_value("vm.stats.vm.v_page_count", std::uint32_t{1000});
        set_named_value("vm.stats.vm.v_free_count", std::uint32_t{10});
    }
    if (answers("swap"))
        set_name("vm.swap_info", {CTL_VM, 0x0400});
    if (answers("load"))
        set_value(Mib{CTL_VM, VM_LOADAVG}, loadavg{{1, 2, 3}, 4});
    if (answers("arc"))
        set_named_value("kstat.zfs.misc.arcstats.size", std::uint64_t{1} << 30);
    if (!answers("disks"))
        fake_geom::kernel.stats_open_error = ENXIO;
    fake_geom::queue_snapshot({fake_geom::record(fake_geom::add_provider("ada0", 1), 512)});
    if (answers("interfaces"))
        set_value(Mib{CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT}, 0);
}

TEST(Exposition, AFailedReadingLeavesItsFamiliesOut)
{
    const std::pair<std::string, std::string> readings[] = {
        {"cpu", "cpu_seconds_total "},
        {"memory", "memory_total_bytes memory_used_bytes "},
        {"swap", "swap_total_bytes swap_used_bytes "},
        {"load", "load1 load5 load15 "},
        {"arc", "zfs_arc_size_bytes zfs_arc_c_max_bytes "},
        {"disks", "disk_read_bytes_total disk_write_bytes_total disk_read_ops_total "
                  "disk_write_ops_total disk_busy_seconds_total "},
        {"interfaces", "network_receive_bytes_total network_transmit_bytes_total "
                       "network_receive_packets_total network_transmit_packets_total "
                       "network_receive_errors_total network_transmit_errors_total "
                       "network_receive_drops_total "},
    };
    for (const char* failing :
         {"none", "cpu", "memory", "swap", "load", "arc", "disks", "interfaces", "all"}) {
        answer_readings_but(failing);
        const std::string text = Exporter("p", "0123abcd").render();
        std::string found, expected;
        for (size_t at = 0; (at = text.find("# TYPE p_", at)) != std::string::npos; ++at)
            found += text.substr(at + 9, text.find(' ', at + 9) - at - 9) + " ";
        for (const auto& [reading, families] : readings)
            expected += reading == failing || failing == std::string("all") ? "" : families;
        EXPECT_EQ(found, expected + "build_info ") << failing;
    }
}

}  // namespace
