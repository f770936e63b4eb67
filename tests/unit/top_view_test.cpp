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

// The lines of a frame on a window, after the sequence that clears it; a
// frame that fills the window has no newline after its last line.
std::vector<std::string> screen_lines(const std::string& frame, WindowSize window)
{
    EXPECT_TRUE(frame.starts_with("\x1b[2J\x1b[H"));
    std::vector<std::string> lines;
    std::string::size_type at = 7;
    while (at < frame.size()) {
        const auto end = std::min(frame.find('\n', at), frame.size());
        lines.push_back(frame.substr(at, end - at));
        at = end + 1;
    }
    EXPECT_LE(lines.size(), window.rows);
    EXPECT_EQ(frame.ends_with('\n'), lines.size() < window.rows);
    for (const std::string& line : lines)
        EXPECT_LE(line.size(), window.columns) << line;
    return lines;
}

// The first word of every line: a row's device name.
std::string first_words(const std::vector<std::string>& lines)
{
    std::string words;
    for (const std::string& line : lines)
        words += line.substr(0, line.find(' ')) + ",";
    return words;
}

// A host of 40 disks, 12 of them busy, and 100 interfaces, 2 of them busy.
TEST(WindowFit, FixedLinesStayBusyRowsBeatIdleOnesAndTheRestIsCounted)
{
    std::vector<DiskSample> disks;
    std::vector<InterfaceSample> interfaces;
    for (int i = 0; i < 40; ++i)
        disks.push_back(disk(fmt::format("da{}", i), 0));
    for (int i = 0; i < 100; ++i)
        interfaces.push_back(InterfaceSample{fmt::format("e{}", i), 0, 0, 0, 0, 0, 0, 0});
    TopState state;
    take_baseline(state, readings(disks, {}, interfaces), 10);
    for (int i = 5; i < 40; i += 3)
        disks[i].read_bytes = 4096;
    interfaces[50].tx_bytes = interfaces[99].rx_packets = 1;
    RefreshReadings now = readings(disks, {}, interfaces);
    now.memory = MemoryUsage{4 << 20, 1 << 20};

    // The tables share the 21 rows left evenly, the disks taking the odd one.
    const WindowSize window{24, 80};
    std::vector<std::string> lines = screen_lines(refresh_frame(state, now, 11, window), window);
    EXPECT_EQ(first_words(lines), "kelmar-host-perfdata,,Mem:,,Disk,da5,da8,da11,da14,da17,da20,"
                                  "da23,da26,...,,Iface,e0,e1,e2,e3,e4,e50,e99,...,");
    EXPECT_EQ(lines[13], "... 32 more disks (28 idle)");
    EXPECT_EQ(lines[23], "... 93 more interfaces (93 idle)");

    // A table that needs less than half leaves the rest to the other. Nothing
    // moved since: every row is idle, and the top ones are shown.
    interfaces.resize(6);
    now.interfaces = interfaces;
    lines = screen_lines(refresh_frame(state, now, 12, window), window);
    EXPECT_EQ(first_words(lines), "kelmar-host-perfdata,,Mem:,,Disk,da0,da1,da2,da3,da4,da5,da6,"
                                  "da7,da8,da9,...,,Iface,e0,e1,e2,e3,e4,e5,");
    EXPECT_EQ(lines[15], "... 30 more disks (30 idle)");

    // Too small for the fixed lines: what fits, from the top, cut at the side.
    EXPECT_EQ(refresh_frame(state, now, 14, WindowSize{1, 80}),
              "\x1b[2J\x1b[Hkelmar-host-perfdata - top-like (Ctrl-C to quit)");
    EXPECT_EQ(screen_lines(refresh_frame(state, now, 15, WindowSize{7, 12}), {7, 12}),
              (std::vector<std::string>{"kelmar-host-", "", "Mem:  1.0 Mi", "Disk        ",
                                        "... 40 more ", "Iface       ", "... 6 more i"}));
}

// A row hidden in one frame shows the rate of the last interval when it is
// shown again, not one averaged since it was last on the screen.
TEST(WindowFit, RowsNotShownKeepTheirRates)
{
    TopState state;
    RefreshReadings now;
    now.interfaces = {{"em0", 0, 0, 0, 0, 0, 0, 0}, {"em1", 0, 0, 0, 0, 0, 0, 0}};
    take_baseline(state, now, 10);
    (*now.interfaces)[0].rx_bytes = (*now.interfaces)[1].rx_bytes = 1024;
    EXPECT_EQ(refresh_frame(state, now, 11, WindowSize{4, 80}),
              frame_start + "Iface                  rx            tx     rx pps     tx pps\n"
                            "... 2 more interfaces (0 idle)");
    (*now.interfaces)[1].rx_bytes = 5120;
    EXPECT_TRUE(refresh_frame(state, now, 12)
                    .ends_with("em0               0.0 B/s       0.0 B/s          0          0\n"
                               "em1             4.0 KiB/s       0.0 B/s          0          0\n"));
}

}  // namespace
