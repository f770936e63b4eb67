#include <errno.h>
#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <vm/vm_param.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "collect/scalar_readings.hpp"
#include "platform_files.hpp"

namespace {

struct LinuxSysctl : ::testing::Test {
    void use(const char* host)
    {
        set_platform_root((std::string(KELMAR_FIXTURES) + "/" + host).c_str());
    }
    void TearDown() override
    {
        set_platform_root("/");
    }
};

TEST_F(LinuxSysctl, CpuStatesFoldLinuxColumnsIntoFreeBsdOnes)
{
    use("host-plain");  // a kernel with steal and guest columns
    std::int64_t ticks[5] = {};
    size_t length = sizeof ticks;
    ASSERT_EQ(sysctlbyname("kern.cp_time", ticks, &length, nullptr, 0), 0);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(ticks[0], 100);        // user (guest time is inside it already)
    EXPECT_EQ(ticks[1], 5);          // nice
    EXPECT_EQ(ticks[2], 50);         // system
    EXPECT_EQ(ticks[3], 3 + 7);      // irq + softirq
    EXPECT_EQ(ticks[4], 1000 + 20);  // idle + iowait

    use("host-swap-zfs");  // an older kernel with seven columns
    ASSERT_EQ(sysctlbyname("kern.cp_time", ticks, &length, nullptr, 0), 0);
    EXPECT_EQ(ticks[3], 6 + 7);
    EXPECT_EQ(ticks[4], 4 + 5);
}

TEST_F(LinuxSysctl, ClockRateIsTheRateCpTimeCountsAt)
{
    struct clockinfo clock {};
    size_t length = sizeof clock;
    ASSERT_EQ(sysctlbyname("kern.clockrate", &clock, &length, nullptr, 0), 0);
    EXPECT_EQ(length, sizeof clock);
    EXPECT_EQ(clock.stathz, sysconf(_SC_CLK_TCK));
    EXPECT_EQ(clock.hz, sysconf(_SC_CLK_TCK));

    use("host-plain");
    CpuTimes cpu{};
    ASSERT_TRUE(read_cpu_times(cpu));
    EXPECT_DOUBLE_EQ(cpu.user, 100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
}

TEST_F(LinuxSysctl, PageCountsAreMemInfoInPages)
{
    use("host-plain");
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    std::uint32_t pages = 0;
    size_t length = sizeof pages;
    ASSERT_EQ(sysctlbyname("vm.stats.vm.v_page_count", &pages, &length, nullptr, 0), 0);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(pages, 16384000 * std::uint64_t{1024} / page);
    ASSERT_EQ(sysctlbyname("vm.stats.vm.v_free_count", &pages, &length, nullptr, 0), 0);
    EXPECT_EQ(pages, 4096000 * std::uint64_t{1024} / page);

    use("host-swap-zfs");  // the lines in another order
    MemoryUsage memory{};
    ASSERT_TRUE(read_memory_usage(memory));
    EXPECT_EQ(memory.total_bytes, 8192 * std::uint64_t{1024} / page * page);
    EXPECT_EQ(memory.used_bytes, (8192 - 1000) * std::uint64_t{1024} / page * page);
}

TEST_F(LinuxSysctl, FreeCountComesFromTheTotalsReadOnceAndThenAfresh)
{
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    std::uint32_t pages = 0;
    size_t length = sizeof pages;
    use("host-plain");
    ASSERT_EQ(sysctlbyname("vm.stats.vm.v_page_count", &pages, &length, nullptr, 0), 0);

    // Right after the total, the free count is the one read with it...
    use("host-swap-zfs");
    ASSERT_EQ(sysctlbyname("vm.stats.vm.v_free_count", &pages, &length, nullptr, 0), 0);
    EXPECT_EQ(pages, 4096000 * std::uint64_t{1024} / page);
    // ...and only once: the next one is read afresh.
    ASSERT_EQ(sysctlbyname("vm.stats.vm.v_free_count", &pages, &length, nullptr, 0), 0);
    EXPECT_EQ(pages, 1000 * std::uint64_t{1024} / page);
}

TEST_F(LinuxSysctl, SwapInfoIsOneVersionTwoRecordPerSwapsLine)
{
    use("host-swap-zfs");
    int mib[16];
    size_t mib_length = 16;
    ASSERT_EQ(sysctlnametomib("vm.swap_info", mib, &mib_length), 0);
    ASSERT_LT(mib_length, 16u);

    const auto page_kib = static_cast<std::uint64_t>(getpagesize()) / 1024;
    mib[mib_length] = 1;
    struct xswdev device {};
    size_t length = sizeof device;
    ASSERT_EQ(sysctl(mib, static_cast<unsigned>(mib_length + 1), &device, &length, nullptr, 0), 0);
    EXPECT_EQ(device.xsw_version, 2u);
    EXPECT_EQ(static_cast<std::uint64_t>(device.xsw_nblks), 1048576 / page_kib);
    EXPECT_EQ(static_cast<std::uint64_t>(device.xsw_used), 8 / page_kib);

    mib[mib_length] = 2;
    EXPECT_EQ(sysctl(mib, static_cast<unsigned>(mib_length + 1), &device, &length, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);

    SwapUsage swap{};
    ASSERT_TRUE(read_swap_usage(swap));
    const auto page = static_cast<std::uint64_t>(getpagesize());
    EXPECT_EQ(swap.total_bytes, (4000000 / page_kib + 1048576 / page_kib) * page);
    EXPECT_EQ(swap.used_bytes, (40000 / page_kib + 8 / page_kib) * page);

    use("host-plain");  // no swap configured
    swap = SwapUsage{1, 1};
    ASSERT_TRUE(read_swap_usage(swap));
    EXPECT_EQ(swap.total_bytes, 0u);
    EXPECT_EQ(swap.used_bytes, 0u);
}

TEST_F(LinuxSysctl, ArcSizesExistOnlyWithZfs)
{
    use("host-swap-zfs");
    ArcSizes arc{};
    ASSERT_TRUE(read_arc_sizes(arc));
    EXPECT_EQ(arc.size_bytes, 2199023255552u);
    EXPECT_EQ(arc.c_max_bytes, 17179869184u);

    use("host-plain");
    std::uint64_t size = 0;
    size_t length = sizeof size;
    EXPECT_EQ(sysctlbyname("kstat.zfs.misc.arcstats.size", &size, &length, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(LinuxSysctl, ZfsLoadedWhileRunningIsSeenWithinAboutASecond)
{
    char root[] = "/tmp/kelmar-zfs-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    const std::string kstat = std::string(root) + "/proc/spl/kstat/zfs";
    ASSERT_EQ(std::system(("mkdir -p " + kstat).c_str()), 0);
    set_platform_root(root);
    ArcSizes arc{};
    EXPECT_FALSE(read_arc_sizes(arc));

    const std::string copy = "cp " + std::string(KELMAR_FIXTURES) +
                             "/host-swap-zfs/proc/spl/kstat/zfs/arcstats " + kstat;
    ASSERT_EQ(std::system(copy.c_str()), 0);
    bool seen = false;
    for (int tries = 0; tries < 25 && !seen; ++tries) {
        seen = read_arc_sizes(arc);
        if (!seen)
            usleep(100000);
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(arc.size_bytes, 2199023255552u);
    EXPECT_EQ(std::system(("rm -rf " + std::string(root)).c_str()), 0);
}

TEST_F(LinuxSysctl, CallsFollowFreeBsdConventions)
{
    use("host-plain");
    std::int64_t ticks[5] = {};
    size_t length = 24;
    EXPECT_EQ(sysctlbyname("kern.cp_time", ticks, &length, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM) << "a buffer too short";
    EXPECT_EQ(length, 24u);
    EXPECT_EQ(ticks[0], 100) << "what fits is copied";

    length = 0;
    ASSERT_EQ(sysctlbyname("kern.cp_time", nullptr, &length, nullptr, 0), 0);
    EXPECT_EQ(length, 40u) << "a null buffer asks for the size";

    EXPECT_EQ(sysctlbyname("kern.no_such_name", ticks, &length, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    int mib[16];
    size_t mib_length = 16;
    EXPECT_EQ(sysctlnametomib("vm.no_such_name", mib, &mib_length), -1);
    EXPECT_EQ(errno, ENOENT);

    ASSERT_EQ(sysctlnametomib("vm.swap_info", mib, &mib_length), 0);
    EXPECT_EQ(sysctl(mib, static_cast<unsigned>(mib_length), ticks, &length, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL) << "the swap node needs a device index";
}

TEST_F(LinuxSysctl, MissingProcFilesFailTheReading)
{
    use("no-such-host");
    CpuTimes cpu{};
    MemoryUsage memory{};
    SwapUsage swap{};
    EXPECT_FALSE(read_cpu_times(cpu));
    EXPECT_FALSE(read_memory_usage(memory));
    EXPECT_TRUE(read_swap_usage(swap)) << "the node resolves; there are just no devices";
}

}  // namespace
