#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "collect/interface_samples.hpp"

namespace {

using Counters = std::vector<std::uint64_t>;

// /proc/net/dev in InterfaceSample's order: receive bytes, packets, errors and
// drops are columns 0, 1, 2, 3; transmit bytes, packets, errors 8, 9, 10.
std::map<std::string, Counters> proc_net_dev()
{
    std::map<std::string, Counters> table;
    std::ifstream file("/proc/net/dev");
    std::string line;
    while (std::getline(file, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::istringstream fields(line.substr(colon + 1));
        std::uint64_t f[11] = {};
        for (std::uint64_t& field : f)
            fields >> field;
        const size_t start = line.find_first_not_of(' ');
        table[line.substr(start, colon - start)] = {f[0], f[8], f[1], f[9], f[2], f[10], f[3]};
    }
    return table;
}

TEST(InterfaceMib, NamesAndCountersAgreeWithProcNetDev)
{
    const auto before = proc_net_dev();
    std::vector<InterfaceSample> samples;
    ASSERT_TRUE(read_interface_samples(samples));
    const auto after = proc_net_dev();
    ASSERT_FALSE(before.empty());

    std::map<std::string, Counters> read;
    for (const InterfaceSample& s : samples)
        read[s.name] = {s.rx_bytes,  s.tx_bytes,  s.rx_packets, s.tx_packets,
                        s.rx_errors, s.tx_errors, s.rx_drops};
    for (const auto& [name, counters] : read) {
        if (!before.count(name) || !after.count(name)) {
            EXPECT_TRUE(before.count(name) || after.count(name)) << name << " is unknown";
            continue;  // came or went during the reading
        }
        for (size_t i = 0; i < counters.size(); ++i) {
            EXPECT_LE(before.at(name)[i], counters[i]) << name << " counter " << i;
            EXPECT_LE(counters[i], after.at(name)[i]) << name << " counter " << i;
        }
    }
    for (const auto& [name, counters] : before)
        EXPECT_TRUE(read.count(name) || !after.count(name)) << name << " is missing";
}

}  // namespace
