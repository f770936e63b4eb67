#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "collect/scalar_readings.hpp"
#include "platform_files.hpp"
#include "scratch_root.hpp"

namespace {

TEST(LinuxProc, ReadersTakeFixtureHostsAsFreeBsdWould)
{
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    const std::uint64_t page = static_cast<std::uint64_t>(getpagesize());
    const auto pages = [&](std::uint64_t kib) { return kib * 1024 / page * page; };
    const struct {
        const char* name;
        double ticks[5];                   // user, nice, system, interrupt, idle
        std::vector<std::uint64_t> bytes;  // memory, swap: total, used; ARC: size, c_max (or 0)
    } hosts[] = {
        // An older kernel's seven columns, ZFS, and three swap devices, one of
        // more pages than FreeBSD's int can count.
        {"host-swap-zfs",
         {1, 2, 3, 6 + 7, 4 + 5},
         {pages(8192), pages(8192) - pages(1000),
          pages(4000000) + pages(1048576) + 2147483647 * page, pages(40000) + pages(8),
          2199023255552, 17179869184}},
        // Steal and guest columns (guest is inside user already), no swap, no ZFS.
        {"host-plain",
         {100, 5, 50, 3 + 7, 1000 + 20},
         {pages(16384000), pages(16384000) - pages(4096000), 0, 0, 0, 0}},
    };
    for (const auto& host : hosts) {
        SCOPED_TRACE(host.name);
        set_platform_root((std::string(KELMAR_FIXTURES "/") + host.name).c_str());
        CpuTimes cpu{};
        ASSERT_TRUE(read_cpu_times(cpu));
        const double seconds[5] = {cpu.user, cpu.nice, cpu.system, cpu.interrupt, cpu.idle};
        for (int state = 0; state < 5; ++state)
            EXPECT_DOUBLE_EQ(seconds[state], host.ticks[state] * tick) << "state " << state;
        MemoryUsage memory{};
        SwapUsage swap{1, 1};
        ArcSizes arc{};
        ASSERT_TRUE(read_memory_usage(memory) && read_swap_usage(swap));
        EXPECT_EQ(read_arc_sizes(arc), host.bytes[4] != 0);
        EXPECT_EQ(
            std::vector<std::uint64_t>({memory.total_bytes, memory.used_bytes, swap.total_bytes,
                                        swap.used_bytes, arc.size_bytes, arc.c_max_bytes}),
            host.bytes);
    }
    set_platform_root("/");
}

// ZFS loaded after the program started: the ARC's figures are read within a
// second or two of its statistics appearing, though the file was missing at
// first.
TEST(LinuxProc, ArcStatisticsThatAppearLaterAreRead)
{
    ScratchRoot root;
    root.install(KELMAR_FIXTURES "/host-plain");
    ArcSizes arc{};
    EXPECT_FALSE(read_arc_sizes(arc));
    root.install(KELMAR_FIXTURES "/host-swap-zfs");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_TRUE(read_arc_sizes(arc));
    EXPECT_EQ(arc.size_bytes, 2199023255552u);
}

}  // namespace
