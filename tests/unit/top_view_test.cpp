#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "top/refresh.hpp"
#include "top/screen_layout.hpp"

namespace {

const std::string frame_start = "\x1b[2J\x1b[Hkelmar-host-perfdata - top-like (Ctrl-C to quit)\n\n";
const std::string disk_header = "\nDisk            busy          read         write\n";

TEST(ByteAmounts, ScaleBy1024ChoosingTheUnitBeforeRounding)
{
    const std::pair<double, const char*> cases[] = {
        {0, "0.0 B"},           {1023, "1023.0 B"},
        {1024, "1.0 KiB"},      {1048575, "1024.0 KiB"},
        {0x1p50, "1024.0 TiB"}, {0x1p60, "1048576.0 TiB"}};
    for (const auto& [bytes, shown] : cases)
        EXPECT_EQ(format_byte_amount(bytes), shown);
}

TEST(CpuShares, NiceOnlyInBusyBusyClampedAndNoTimeCountsAsOne)
{
    // Against 10 s in every mode before.
    // The current times and the shares: busy, user, sys, intr, idle.
    const std::pair<CpuTimes, const char*> cases[] = {
        {{11, 12, 11, 10, 14}, "50 12.5 12.5 0 50"},
        {{13, 10, 10, 10, 9}, "100 150 0 0 -50"},
        {{10.25, 10, 10, 10, 9.75}, "25 25 0 0 -25"},  // deltas summing to 0
    };
    for (const auto& [now, shares] : cases) {
        const CpuShares s = compute_cpu_shares(now, {10, 10, 10, 10, 10});
        EXPECT_EQ(fmt::format("{} {} {} {} {}", s.busy, s.user, s.sys, s.intr, s.idle), shares);
    }
}

TEST(Frame, RowsAndSummaryLine)
{
    FrameContents contents;
    contents.disks.emplace();
    EXPECT_EQ(build_frame(contents), frame_start + disk_header);

    contents.disks = {{"ada0", {12.5, 1536, 0}}, {"nvd0p1-longer-name", {100, 0, 3 << 20}}};
    EXPECT_EQ(build_frame(contents),
              frame_start + disk_header + "ada0           12.5%     1.5 KiB/s       0.0 B/s\n" +
                  "nvd0p1-longer-name  100.0%       0.0 B/s     3.0 MiB/s\n");

    // Bytes of a name outside printable ASCII are shown as '?', one each.
    contents.disks = {{"e\x1b[31mR\x7f\xc3\xa9\t", {0, 0, 0}}};
    EXPECT_EQ(build_frame(contents),
              frame_start + disk_header + "e?[31mR????     0.0%       0.0 B/s       0.0 B/s\n");
    contents.disks.reset();
    contents.interfaces = {{"\x1b]0;x\x07", {0, 0, 0, 0}}};
    EXPECT_TRUE(build_frame(contents).ends_with("\n?]0;x?            0.0 B/s       0.0 B/s  "
                                                "        0          0\n"));

    // The summary of the readings that succeeded, each figure in its place.
    TopState state;
    RefreshReadings summary{};
    summary.memory = MemoryUsage{std::uint64_t{4} << 30, 1 << 30};
    EXPECT_EQ(refresh_frame(state, summary, 1),
              frame_start + "Mem:  1.0 GiB / 4.0 GiB used (25.0%)\n");
    summary = {};
    summary.load = LoadAverages{1.25, 2.5, 0.75};
    summary.swap = SwapUsage{std::uint64_t{8} << 30, 3 << 20};
    summary.arc = ArcSizes{1536 << 20, std::uint64_t{6} << 30};
    EXPECT_EQ(refresh_frame(state, summary, 2),
              frame_start + "Load: 1.25 2.50 0.75   Swap: 3.0 MiB / 8.0 GiB   ARC: 1.5 GiB\n");
}

RefreshReadings readings(std::vector<DiskSample> disks, std::optional<CpuTimes> cpu = {},
                         std::optional<std::vector<InterfaceSample>> interfaces = {})
{
    return RefreshReadings{cpu, {}, {}, {}, {}, std::move(disks), std::move(interfaces)};
}

DiskSample disk(const std::string& name, std::uint64_t read_bytes, double busy_seconds = 0)
{
    return DiskSample{name, read_bytes, 0, 0, 0, busy_seconds};
}

TEST(RateTracking, RowsFollowTheStoredSamples)
{
    TopState state;
    take_baseline(state,
                  readings({disk("ada0", 0), disk("sdb", 1000), disk("ada1", 100)},
                           CpuTimes{1, 0, 0, 0, 1}, {{{"em0", 1000, 2000, 10, 20, 0, 0, 0}}}),
                  10);
    // A failed reading shows nothing and leaves the tables as they were.
    EXPECT_EQ(refresh_frame(state, RefreshReadings{}, 11), frame_start);

    // So the change is spread over the two seconds since the stored sample; da0
    // is new and has no row yet; sdb went backwards; ada1 is not listed.
    EXPECT_EQ(
        refresh_frame(state,
                      readings({disk("ada0", 4096, 1), disk("da0", 0), disk("sdb", 500)},
                               CpuTimes{2, 0, 0, 0, 4}, {{{"em0", 5096, 2512, 30, 24, 0, 0, 0}}}),
                      12),
        frame_start + "CPU:   25.0% busy   user 25.0%  sys 0.0%  intr 0.0%  idle 75.0%\n" +
            disk_header +
            "ada0           50.0%     2.0 KiB/s       0.0 B/s\n"
            "sdb             0.0%       0.0 B/s       0.0 B/s\n"
            "\nIface                  rx            tx     rx pps     tx pps\n"
            "em0             2.0 KiB/s     256.0 B/s         10          2\n");

    // CPU shares since the previous refresh; da0 busy 3 s in 1 s shows 100.0;
    // sdb counts from the lower value it stored; ada1 is measured against its
    // old entry, and went backwards.
    EXPECT_EQ(refresh_frame(state,
                            readings({disk("da0", 2048, 3), disk("sdb", 1524), disk("ada1", 40)},
                                     CpuTimes{2, 1, 1, 0, 6}),
                            13),
              frame_start + "CPU:   50.0% busy   user 0.0%  sys 25.0%  intr 0.0%  idle 50.0%\n" +
                  disk_header +
                  "da0           100.0%     2.0 KiB/s       0.0 B/s\n"
                  "sdb             0.0%     1.0 KiB/s       0.0 B/s\n"
                  "ada1            0.0%       0.0 B/s       0.0 B/s\n");

    // A clock that did not move counts as one second.
    EXPECT_EQ(refresh_frame(state, readings({disk("da0", 3072, 3.5)}), 13),
              frame_start + disk_header + "da0            50.0%     1.0 KiB/s       0.0 B/s\n");
}

}  // namespace
