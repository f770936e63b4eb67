#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <net/if.h>
#include <net/if_mib.h>
#include <vm/vm_param.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "collect/interface_samples.hpp"
#include "collect/scalar_readings.hpp"
#include "fake_kernel.hpp"

namespace {

using namespace fake_kernel;

struct Readers : ::testing::Test {
    void SetUp() override
    {
        reset();
    }
};

const std::int64_t cp_time[5] = {256, 0, 128, 64, 1280};

// A reader that fails must leave the caller's record exactly as it was.
template <typename Record> void expect_failure(bool (*read)(Record&), const char* why)
{
    Record record;
    std::memset(&record, 0x5a, sizeof record);
    EXPECT_FALSE(read(record)) << why;
    for (size_t at = 0; at < sizeof record; ++at)
        ASSERT_EQ(reinterpret_cast<const unsigned char*>(&record)[at], 0x5a) << why;
}

TEST_F(Readers, ScalarFailuresWriteNothing)
{
    expect_failure(read_cpu_times, "no kern.cp_time");
    expect_failure(read_swap_usage, "vm.swap_info unresolved");
    expect_failure(read_arc_sizes, "no ZFS");
    expect_failure(read_load_averages, "no vm.loadavg");

    set_named_value("kern.cp_time", 1);
    expect_failure(read_cpu_times, "a 4-byte kern.cp_time");
    // Longer than offered: the kernel copies what fits and fails with ENOMEM.
    const std::int64_t six_states[6] = {1, 2, 3, 4, 5, 6};
    set_named_value("kern.cp_time", six_states);
    expect_failure(read_cpu_times, "a 48-byte kern.cp_time");
    set_named_value("kern.cp_time", cp_time);
    set_named_value("kern.clockrate", clockinfo{1000, 1000, 0, 0, 8128});
    expect_failure(read_cpu_times, "a rate of 0");
    set_named_value("kern.clockrate", clockinfo{1000, 1000, 0, -5, 8128});
    expect_failure(read_cpu_times, "a negative rate");

    set_named_value("vm.stats.vm.v_page_count", std::uint32_t{1000});
    expect_failure(read_memory_usage, "no free count");
    set_named_value("vm.stats.vm.v_free_count", std::uint16_t{10});
    expect_failure(read_memory_usage, "a 2-byte free count");

    set_named_value("kstat.zfs.misc.arcstats.size", std::uint32_t{1});
    expect_failure(read_arc_sizes, "a 4-byte ARC size");
    set_named_value("vm.stats.vm.v_free_count", std::uint64_t{10});
    expect_failure(read_memory_usage, "an 8-byte free count");
}

// FreeBSD's statistics clock runs at 127 Hz, not at the C library's rate;
// load averages are fixed-point figures over the scale they come with.
TEST_F(Readers, CpuTicksAreSecondsAtStathzAndLoadsFiguresOverTheirScale)
{
    set_named_value("kern.cp_time", cp_time);
    set_named_value("kern.clockrate", clockinfo{1000, 1000, 0, 127, 8128});
    CpuTimes c{};
    ASSERT_TRUE(read_cpu_times(c));
    EXPECT_EQ(std::vector<double>({c.user, c.nice, c.system, c.interrupt, c.idle}),
              std::vector<double>({256.0 / 127, 0, 128.0 / 127, 64.0 / 127, 1280.0 / 127}));
    set_value({CTL_VM, VM_LOADAVG}, loadavg{{2048, 1024, 3072}, 2048});
    LoadAverages load{};
    ASSERT_TRUE(read_load_averages(load));
    EXPECT_EQ(fmt::format("{} {} {}", load.load1, load.load5, load.load15), "1 0.5 1.5");
}

TEST_F(Readers, MemoryFreeAboveTotalAndArcWithoutTargetMaximum)
{
    // The counts are read apart, so free may briefly exceed the total.
    set_named_value("vm.stats.vm.v_page_count", std::uint32_t{4000000});
    set_named_value("vm.stats.vm.v_free_count", std::uint32_t{4000001});
    MemoryUsage memory{1, 1};
    ASSERT_TRUE(read_memory_usage(memory));
    EXPECT_EQ(std::make_pair(memory.total_bytes, memory.used_bytes),
              std::make_pair(4000000 * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)), 0ul));

    set_named_value("kstat.zfs.misc.arcstats.size", std::uint64_t{1} << 35);
    ArcSizes arc{5, 6};
    ASSERT_TRUE(read_arc_sizes(arc));
    EXPECT_EQ(std::make_pair(arc.size_bytes, arc.c_max_bytes), std::make_pair(1ul << 35, 0ul));
}

TEST_F(Readers, SwapSumsVersionTwoRecordsUpToTheFirstMissingIndex)
{
    set_name("vm.swap_info", {CTL_VM, 0x0400});
    set_value({CTL_VM, 0x0400, 0}, xswdev{2, 0, 0, 1000, 10});
    set_value({CTL_VM, 0x0400, 1}, xswdev{1, 0, 0, 500000, 4});  // another layout
    set_value({CTL_VM, 0x0400, 2}, xswdev{2, 0, 0, 3000, 20});
    set_value({CTL_VM, 0x0400, 4}, xswdev{2, 0, 0, 7, 7});  // beyond the gap
    SwapUsage swap{};
    ASSERT_TRUE(read_swap_usage(swap));
    // 16384000 and 122880 bytes with 4096-byte pages.
    EXPECT_EQ(std::make_pair(swap.total_bytes, swap.used_bytes),
              std::make_pair(4000ul * getpagesize(), 30ul * getpagesize()));
}

// The interface MIB's name field is NUL-terminated by the kernel, but a name
// that fills it is read without running on; the counters' order and index
// gaps are the Linux interface tests' and the namespace test's part.
TEST_F(Readers, InterfacesAreEveryIndexUpToTheCountWithNamesUpToTheirField)
{
    struct ifmibdata data;
    std::memset(&data, 0, sizeof data);
    std::memcpy(data.ifmd_name, "abcdefghijklmnop", sizeof data.ifmd_name);
    data.ifmd_pcount = 0x41414141;  // "AAAA" right after the name
    data.ifmd_data.ifi_ibytes = 7;
    set_value({CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_IFDATA, 1, IFDATA_GENERAL}, data);
    const Mib count{CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT};
    std::vector<InterfaceSample> interfaces{{"stale", 1, 1, 1, 1, 1, 1, 1}};
    for (const int highest : {1, 0}) {
        set_value(count, highest);
        ASSERT_TRUE(read_interface_samples(interfaces));
        ASSERT_EQ(interfaces.size(), static_cast<size_t>(highest));
    }
    set_value(count, 1);
    ASSERT_TRUE(read_interface_samples(interfaces));
    EXPECT_EQ(interfaces[0].name + std::to_string(interfaces[0].rx_bytes), "abcdefghijklmnop7");
}

}  // namespace
