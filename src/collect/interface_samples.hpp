#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Cumulative traffic counters of one network interface, as the kernel keeps
// them.
struct InterfaceSample {
    std::string name;
    std::uint64_t rx_bytes;
    std::uint64_t tx_bytes;
    std::uint64_t rx_packets;
    std::uint64_t tx_packets;
    std::uint64_t rx_errors;
    std::uint64_t tx_errors;
    std::uint64_t rx_drops;
};

// Empties `interfaces` and lists every interface in ascending index; false
// only when the interface count cannot be read.
bool read_interface_samples(std::vector<InterfaceSample>& interfaces);
