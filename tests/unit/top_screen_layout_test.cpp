#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "top/screen_layout.hpp"

namespace {

const std::string frame_start = "\x1b[2J\x1b[Hkelmar-host-perfdata - top-like (Ctrl-C to quit)\n\n";
const std::string disk_header = "\nDisk            busy          read         write\n";

TEST(ByteAmounts, ScaleBy1024ChoosingTheUnitBeforeRounding)
{
    EXPECT_EQ(format_byte_amount(0), "0.0 B");
    EXPECT_EQ(format_byte_amount(1023), "1023.0 B");
    EXPECT_EQ(format_byte_amount(1024), "1.0 KiB");
    EXPECT_EQ(format_byte_amount(1536), "1.5 KiB");
    EXPECT_EQ(format_byte_amount(1048575), "1024.0 KiB");
    EXPECT_EQ(format_byte_amount(std::ldexp(1.0, 50)), "1024.0 TiB");
    EXPECT_EQ(format_byte_amount(std::ldexp(1.0, 60)), "1048576.0 TiB");
    EXPECT_EQ(format_byte_rate(0), "0.0 B/s");
}

std::string cpu_line(const CpuTimes& previous, const CpuTimes& current)
{
    FrameContents contents;
    contents.cpu = compute_cpu_shares(current, previous);
    return build_frame(contents).substr(frame_start.size());
}

TEST(CpuShares, NiceCountsOnlyTowardsBusy)
{
    const CpuTimes before{10, 10, 10, 10, 10};
    EXPECT_EQ(cpu_line(before, {11, 12, 11, 10, 14}),
              "CPU:   50.0% busy   user 12.5%  sys 12.5%  intr 0.0%  idle 50.0%\n");
}

TEST(CpuShares, BusyIsClampedAndTheOtherSharesAreNot)
{
    const CpuTimes before{10, 10, 10, 10, 10};
    // Idle went backwards: busy would be 150%.
    EXPECT_EQ(cpu_line(before, {13, 10, 10, 10, 9}),
              "CPU:  100.0% busy   user 150.0%  sys 0.0%  intr 0.0%  idle -50.0%\n");
    // Idle grew more than the whole: busy would be -100%.
    EXPECT_EQ(cpu_line(before, {9, 10, 10, 10, 12}),
              "CPU:    0.0% busy   user -100.0%  sys 0.0%  intr 0.0%  idle 200.0%\n");
}

TEST(CpuShares, NoTimePassedDividesByOneAndIsNotBusy)
{
    const CpuTimes same{5, 1, 2, 0.5, 100};
    EXPECT_EQ(cpu_line(same, same),
              "CPU:    0.0% busy   user 0.0%  sys 0.0%  intr 0.0%  idle 0.0%\n");
    // Deltas that cancel out: the divisor is 1 second.
    EXPECT_EQ(cpu_line(same, {5.25, 1, 2, 0.5, 99.75}),
              "CPU:   25.0% busy   user 25.0%  sys 0.0%  intr 0.0%  idle -25.0%\n");
}

TEST(Frame, DiskRowMatchesTheColumnLayout)
{
    FrameContents contents;
    contents.disks = {{"ada0", {12.5, 1536, 0}}, {"nvd0p1-longer-name", {100, 0, 3 << 20}}};
    EXPECT_EQ(build_frame(contents),
              frame_start + disk_header +
                  "ada0        "
                  " "
                  "  12.5"
                  "%"
                  "  "
                  "   1.5 KiB/s"
                  "  "
                  "     0.0 B/s"
                  "\n"
                  "nvd0p1-longer-name  100.0%       0.0 B/s     3.0 MiB/s\n");
}

TEST(Frame, InterfaceRowShowsWholePackets)
{
    FrameContents contents;
    contents.interfaces = {{"em0", {2048, 512, 10.5, 3.4}}};
    EXPECT_EQ(build_frame(contents),
              frame_start + "\nIface                  rx            tx     rx pps     tx pps\n"
                            "em0             2.0 KiB/s     512.0 B/s         10          3\n");
}

TEST(Frame, EmptyDiskListShowsTheHeaderOnly)
{
    FrameContents contents;
    contents.disks.emplace();
    EXPECT_EQ(build_frame(contents), frame_start + disk_header);
}

TEST(Frame, SummaryLineKeepsOnlyTheReadingsThatSucceeded)
{
    FrameContents contents;
    contents.memory = MemoryUsage{0, 0};
    EXPECT_EQ(build_frame(contents), frame_start + "Mem:  0.0 B / 0.0 B used (0.0%)\n");

    contents.memory = MemoryUsage{4096, 1024};
    contents.swap = SwapUsage{0, 0};
    EXPECT_EQ(build_frame(contents), frame_start + "Mem:  1.0 KiB / 4.0 KiB used (25.0%)\n"
                                                   "   Swap: 0.0 B / 0.0 B\n");

    contents.load = LoadAverages{0.5, 1.25, 2};
    contents.arc = ArcSizes{1 << 20, 0};
    EXPECT_EQ(build_frame(contents),
              frame_start + "Mem:  1.0 KiB / 4.0 KiB used (25.0%)\n"
                            "Load: 0.50 1.25 2.00   Swap: 0.0 B / 0.0 B   ARC: 1.0 MiB\n");
}

}  // namespace
