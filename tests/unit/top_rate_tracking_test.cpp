#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "top/refresh.hpp"

namespace {

const std::string disk_header = "\nDisk            busy          read         write\n";
const std::string interface_header =
    "\nIface                  rx            tx     rx pps     tx pps\n";

DiskSample disk(const std::string& name, std::uint64_t read_bytes, double busy_seconds)
{
    return DiskSample{name, read_bytes, 0, 0, 0, busy_seconds};
}

InterfaceSample interface(const std::string& name, std::uint64_t rx_bytes, std::uint64_t rx_packets)
{
    return InterfaceSample{name, rx_bytes, 0, rx_packets, 0, 0, 0, 0};
}

RefreshReadings devices(std::vector<DiskSample> disks, std::vector<InterfaceSample> interfaces)
{
    RefreshReadings readings;
    readings.disks = std::move(disks);
    readings.interfaces = std::move(interfaces);
    return readings;
}

RefreshReadings interfaces_only(std::vector<InterfaceSample> interfaces)
{
    RefreshReadings readings;
    readings.interfaces = std::move(interfaces);
    return readings;
}

// The frame after the title, which every frame starts with.
std::string body(TopState& state, const RefreshReadings& readings, double now)
{
    const std::string frame = refresh_frame(state, readings, now);
    return frame.substr(frame.find("quit)\n\n") + 7);
}

TEST(RateTracking, CounterThatWentBackwardsGivesZeroAndIsStored)
{
    EXPECT_EQ(counter_delta(5, 3), 2u);
    EXPECT_EQ(counter_delta(3, 5), 0u);

    TopState state;
    take_baseline(state, interfaces_only({interface("em0", 1000, 10)}), 100);
    EXPECT_EQ(body(state, interfaces_only({interface("em0", 500, 5)}), 101),
              interface_header + "em0               0.0 B/s       0.0 B/s          0          0\n");
    EXPECT_EQ(body(state, interfaces_only({interface("em0", 1524, 9)}), 102),
              interface_header + "em0             1.0 KiB/s       0.0 B/s          4          0\n");
}

TEST(RateTracking, DeviceFirstListedDuringTheRunHasItsRowFromTheNextFrame)
{
    TopState state;
    take_baseline(state, devices({disk("ada0", 0, 0)}, {}), 10);
    EXPECT_EQ(body(state, devices({disk("ada0", 1024, 0.25), disk("da0", 0, 0)}, {}), 11),
              disk_header + "ada0           25.0%     1.0 KiB/s       0.0 B/s\n" +
                  interface_header);
    EXPECT_EQ(body(state, devices({disk("ada0", 1024, 0.25), disk("da0", 2048, 3)}, {}), 12),
              disk_header +
                  "ada0            0.0%       0.0 B/s       0.0 B/s\n"
                  "da0           100.0%     2.0 KiB/s       0.0 B/s\n" +
                  interface_header);
    EXPECT_EQ(state.previous_disks.size(), 2u);
}

TEST(RateTracking, FailedReadingLeavesTheTablesAsTheyWere)
{
    TopState state;
    take_baseline(state, devices({disk("ada0", 0, 0)}, {interface("lo0", 0, 0)}), 10);
    EXPECT_EQ(body(state, RefreshReadings{}, 11), "");
    ASSERT_NE(find_previous(state.previous_disks, "ada0"), nullptr);
    EXPECT_EQ(find_previous(state.previous_disks, "ada0")->stored_at, 10);
    EXPECT_EQ(find_previous(state.previous_interfaces, "lo0")->stored_at, 10);

    // The change is spread over the two seconds since the stored sample.
    EXPECT_EQ(body(state, devices({disk("ada0", 4096, 1)}, {interface("lo0", 2048, 8)}), 12),
              disk_header + "ada0           50.0%     2.0 KiB/s       0.0 B/s\n" +
                  interface_header +
                  "lo0             1.0 KiB/s       0.0 B/s          4          0\n");
}

TEST(RateTracking, EntriesOutliveTheirDevices)
{
    TopState state;
    take_baseline(state, interfaces_only({interface("tun0", 100, 1), interface("em0", 0, 0)}), 0);
    body(state, interfaces_only({interface("em0", 0, 0)}), 1);
    EXPECT_EQ(state.previous_interfaces.size(), 2u);
    // Listed again: measured against the old entry, the counters restarted.
    EXPECT_EQ(body(state, interfaces_only({interface("tun0", 40, 1)}), 2),
              interface_header + "tun0              0.0 B/s       0.0 B/s          0          0\n");
    EXPECT_EQ(find_previous(state.previous_interfaces, "tun0")->sample.rx_bytes, 40u);
}

TEST(RateTracking, ClockThatDidNotAdvanceCountsAsOneSecond)
{
    TopState state;
    take_baseline(state, interfaces_only({interface("lo0", 0, 0)}), 5);
    EXPECT_EQ(body(state, interfaces_only({interface("lo0", 512, 3)}), 5),
              interface_header + "lo0             512.0 B/s       0.0 B/s          3          0\n");
}

TEST(CpuLine, FollowsTheLastSuccessfulReading)
{
    RefreshReadings readings;
    TopState without_baseline;
    take_baseline(without_baseline, readings, 0);
    readings.cpu = CpuTimes{1, 0, 0, 0, 1};
    EXPECT_EQ(body(without_baseline, readings, 1), "");

    TopState state;
    readings.cpu = CpuTimes{0, 0, 0, 0, 0};
    take_baseline(state, readings, 0);
    EXPECT_EQ(body(state, RefreshReadings{}, 1), "");
    // The failed refresh kept the baseline, so this covers both seconds.
    readings.cpu = CpuTimes{1, 0, 0, 0, 3};
    EXPECT_EQ(body(state, readings, 2),
              "CPU:   25.0% busy   user 25.0%  sys 0.0%  intr 0.0%  idle 75.0%\n");
}

}  // namespace
