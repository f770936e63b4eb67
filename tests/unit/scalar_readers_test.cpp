#include <errno.h>
#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <vm/vm_param.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "collect/scalar_readings.hpp"
#include "fake_kernel.hpp"

namespace {

struct ScalarReaders : ::testing::Test {
    void SetUp() override
    {
        fake_kernel::reset();
    }
};

fake_kernel::Mib set_cp_time(std::int64_t user, std::int64_t nice, std::int64_t system,
                             std::int64_t interrupt, std::int64_t idle)
{
    const std::int64_t ticks[5] = {user, nice, system, interrupt, idle};
    return fake_kernel::set_named_value("kern.cp_time", ticks);
}

void set_stathz(int rate)
{
    struct clockinfo clock {};
    clock.hz = 1000;
    clock.tick = 1000;
    clock.stathz = rate;
    clock.profhz = 8128;
    fake_kernel::set_named_value("kern.clockrate", clock);
}

// A record the caller filled, to show that a failing reader writes nothing.
constexpr CpuTimes cpu_sentinel{1.5, 2.5, 3.5, 4.5, 5.5};

void expect_untouched(const CpuTimes& cpu)
{
    EXPECT_EQ(cpu.user, cpu_sentinel.user);
    EXPECT_EQ(cpu.nice, cpu_sentinel.nice);
    EXPECT_EQ(cpu.system, cpu_sentinel.system);
    EXPECT_EQ(cpu.interrupt, cpu_sentinel.interrupt);
    EXPECT_EQ(cpu.idle, cpu_sentinel.idle);
}

TEST_F(ScalarReaders, CpuTicksBecomeSecondsAtTheStatisticsClockRate)
{
    set_cp_time(256, 0, 128, 64, 1280);
    set_stathz(128);
    CpuTimes cpu{};
    ASSERT_TRUE(read_cpu_times(cpu));
    EXPECT_EQ(cpu.user, 2.0);
    EXPECT_EQ(cpu.nice, 0.0);
    EXPECT_EQ(cpu.system, 1.0);
    EXPECT_EQ(cpu.interrupt, 0.5);
    EXPECT_EQ(cpu.idle, 10.0);
}

TEST_F(ScalarReaders, CpuRateComesFromStathzAndFallsBackToTheClockTick)
{
    // FreeBSD's usual 127 Hz statistics clock: 127 ticks are one second, where
    // the clock-tick constant (128 there) would make them 0.99 s.
    set_cp_time(127, 0, 0, 0, 254);
    set_stathz(127);
    CpuTimes cpu{};
    ASSERT_TRUE(read_cpu_times(cpu));
    EXPECT_DOUBLE_EQ(cpu.user, 1.0);
    EXPECT_DOUBLE_EQ(cpu.idle, 2.0);

    // Without the clock rates, the C library's tick rate is used.
    fake_kernel::reset();
    set_cp_time(1000, 0, 0, 0, 0);
    const long tick = sysconf(_SC_CLK_TCK);
    ASSERT_GT(tick, 0);
    ASSERT_TRUE(read_cpu_times(cpu));
    EXPECT_DOUBLE_EQ(cpu.user, 1000.0 / static_cast<double>(tick));

    // A short clock-rate record is not trusted either.
    fake_kernel::set_named_value("kern.clockrate", 127);
    ASSERT_TRUE(read_cpu_times(cpu));
    EXPECT_DOUBLE_EQ(cpu.user, 1000.0 / static_cast<double>(tick));
}

TEST_F(ScalarReaders, CpuFailuresLeaveTheRecordUntouched)
{
    CpuTimes cpu = cpu_sentinel;
    EXPECT_FALSE(read_cpu_times(cpu)) << "no kern.cp_time";
    expect_untouched(cpu);

    // A kernel with another number of CPU states.
    const std::int64_t six_states[6] = {1, 2, 3, 4, 5, 6};
    fake_kernel::set_named_value("kern.cp_time", six_states);
    set_stathz(127);
    EXPECT_FALSE(read_cpu_times(cpu));
    expect_untouched(cpu);

    const auto cp_time = set_cp_time(1, 2, 3, 4, 5);
    fake_kernel::set_reported_length(cp_time, 20);
    EXPECT_FALSE(read_cpu_times(cpu)) << "short length reported";
    expect_untouched(cpu);

    set_cp_time(1, 2, 3, 4, 5);
    fake_kernel::set_reported_length(cp_time, 40);
    set_stathz(0);
    EXPECT_FALSE(read_cpu_times(cpu)) << "a rate of zero";
    expect_untouched(cpu);
    set_stathz(-5);
    EXPECT_FALSE(read_cpu_times(cpu)) << "a negative rate";
    expect_untouched(cpu);
}

void set_pages(std::uint32_t page_count, std::uint32_t free_count)
{
    fake_kernel::set_named_value("vm.stats.vm.v_page_count", page_count);
    fake_kernel::set_named_value("vm.stats.vm.v_free_count", free_count);
}

TEST_F(ScalarReaders, MemoryIsPagesTimesThePageSize)
{
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    // Above 2^32 bytes: the products must be taken in 64 bits.
    set_pages(4000000, 1000000);
    MemoryUsage memory{};
    ASSERT_TRUE(read_memory_usage(memory));
    EXPECT_EQ(memory.total_bytes, 4000000 * page);
    EXPECT_EQ(memory.used_bytes, 3000000 * page);

    // The two counts are read apart; free may momentarily exceed total.
    set_pages(1000, 1001);
    ASSERT_TRUE(read_memory_usage(memory));
    EXPECT_EQ(memory.total_bytes, 1000 * page);
    EXPECT_EQ(memory.used_bytes, 0u);
}

TEST_F(ScalarReaders, MemoryFailuresLeaveTheRecordUntouched)
{
    const MemoryUsage sentinel{7, 3};
    MemoryUsage memory = sentinel;
    fake_kernel::set_named_value("vm.stats.vm.v_page_count", std::uint32_t{1000});
    EXPECT_FALSE(read_memory_usage(memory)) << "no free count";
    EXPECT_EQ(memory.total_bytes, sentinel.total_bytes);
    EXPECT_EQ(memory.used_bytes, sentinel.used_bytes);

    // An 8-byte answer is not the 4-byte count asked for.
    fake_kernel::set_named_value("vm.stats.vm.v_free_count", std::uint64_t{10});
    EXPECT_FALSE(read_memory_usage(memory));
    fake_kernel::set_named_value("vm.stats.vm.v_free_count", std::uint32_t{10});
    const auto page_count = fake_kernel::set_named_value("vm.stats.vm.v_page_count", 1000u);
    fake_kernel::set_reported_length(page_count, 2);
    EXPECT_FALSE(read_memory_usage(memory));
    EXPECT_EQ(memory.total_bytes, sentinel.total_bytes);
    EXPECT_EQ(memory.used_bytes, sentinel.used_bytes);
}

// "vm.swap_info" with one record per device index below it.
const fake_kernel::Mib swap_info{CTL_VM, 0x0400};

void set_swap_device(int index, unsigned version, int blocks, int used)
{
    struct xswdev device {};
    device.xsw_version = version;
    device.xsw_nblks = blocks;
    device.xsw_used = used;
    fake_kernel::Mib mib = swap_info;
    mib.push_back(index);
    fake_kernel::set_value(mib, device);
}

TEST_F(ScalarReaders, SwapSumsTheVersionTwoRecordsOfEveryDevice)
{
    const auto page = static_cast<std::uint64_t>(getpagesize());
    fake_kernel::set_name("vm.swap_info", swap_info);
    set_swap_device(0, 2, 1000, 10);
    set_swap_device(1, 1, 500000, 400000);  // another layout: ignored
    set_swap_device(2, 2, 3000, 20);
    SwapUsage swap{};
    ASSERT_TRUE(read_swap_usage(swap));
    EXPECT_EQ(swap.total_bytes, 4000 * page);
    EXPECT_EQ(swap.used_bytes, 30 * page);
    if (page == 4096) {
        EXPECT_EQ(swap.total_bytes, 16384000u);
        EXPECT_EQ(swap.used_bytes, 122880u);
    }
}

TEST_F(ScalarReaders, SwapWithoutDevicesIsZeroAndUnresolvableSwapFails)
{
    const SwapUsage sentinel{11, 22};
    SwapUsage swap = sentinel;
    EXPECT_FALSE(read_swap_usage(swap));
    EXPECT_EQ(swap.total_bytes, sentinel.total_bytes);
    EXPECT_EQ(swap.used_bytes, sentinel.used_bytes);

    fake_kernel::set_name("vm.swap_info", swap_info);
    ASSERT_TRUE(read_swap_usage(swap));
    EXPECT_EQ(swap.total_bytes, 0u);
    EXPECT_EQ(swap.used_bytes, 0u);
}

TEST_F(ScalarReaders, SwapStopsAtTheFirstMissingIndex)
{
    fake_kernel::set_name("vm.swap_info", swap_info);
    set_swap_device(0, 2, 100, 1);
    set_swap_device(2, 2, 100000, 1);  // beyond a gap: never reached
    SwapUsage swap{};
    ASSERT_TRUE(read_swap_usage(swap));
    EXPECT_EQ(swap.total_bytes, 100 * static_cast<std::uint64_t>(getpagesize()));
}

TEST_F(ScalarReaders, ArcNeedsItsSizeAndDefaultsTheTargetToZero)
{
    const ArcSizes sentinel{5, 6};
    ArcSizes arc = sentinel;
    EXPECT_FALSE(read_arc_sizes(arc)) << "a host without ZFS";
    EXPECT_EQ(arc.size_bytes, sentinel.size_bytes);
    EXPECT_EQ(arc.c_max_bytes, sentinel.c_max_bytes);

    fake_kernel::set_named_value("kstat.zfs.misc.arcstats.c_max", std::uint64_t{1} << 40);
    const auto size =
        fake_kernel::set_named_value("kstat.zfs.misc.arcstats.size", std::uint32_t{12345});
    EXPECT_FALSE(read_arc_sizes(arc)) << "a 4-byte size";
    EXPECT_EQ(arc.size_bytes, sentinel.size_bytes);

    fake_kernel::set_value(size, std::uint64_t{1} << 35);
    ASSERT_TRUE(read_arc_sizes(arc));
    EXPECT_EQ(arc.size_bytes, std::uint64_t{1} << 35);
    EXPECT_EQ(arc.c_max_bytes, std::uint64_t{1} << 40);

    fake_kernel::set_error(fake_kernel::set_named_value("kstat.zfs.misc.arcstats.c_max", 0), EIO);
    arc = sentinel;
    ASSERT_TRUE(read_arc_sizes(arc));
    EXPECT_EQ(arc.size_bytes, std::uint64_t{1} << 35);
    EXPECT_EQ(arc.c_max_bytes, 0u);
}

TEST_F(ScalarReaders, LoadAveragesComeFromTheCLibrary)
{
    LoadAverages load{-1, -1, -1};
    ASSERT_TRUE(read_load_averages(load));
    EXPECT_GE(load.load1, 0.0);
    EXPECT_GE(load.load5, 0.0);
    EXPECT_GE(load.load15, 0.0);
}

}  // namespace
