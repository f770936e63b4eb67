#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "collect/disk_samples.hpp"
#include "collect/interface_samples.hpp"

// The last sample stored for a device, with the monotonic time of the refresh
// that stored it. Rates divide by the time since that refresh, so a device
// missing from some readings is not shown as if its whole change since then
// had happened within the last interval.
struct StoredDisk {
    DiskSample sample;
    double stored_at;
};

struct StoredInterface {
    InterfaceSample sample;
    double stored_at;
};

// Keyed by device name. Entries are only added or overwritten, never removed.
using PreviousDisks = std::map<std::string, StoredDisk>;
using PreviousInterfaces = std::map<std::string, StoredInterface>;

struct DiskRates {
    double busy_percent;
    double read_bytes_per_second;
    double write_bytes_per_second;
};

struct InterfaceRates {
    double rx_bytes_per_second;
    double tx_bytes_per_second;
    double rx_packets_per_second;
    double tx_packets_per_second;
};

const StoredDisk* find_previous(const PreviousDisks& table, const std::string& name);
const StoredInterface* find_previous(const PreviousInterfaces& table, const std::string& name);

// Inserts the sample under its name, or overwrites the stored one in place.
void store_sample(PreviousDisks& table, const DiskSample& sample, double now);
void store_sample(PreviousInterfaces& table, const InterfaceSample& sample, double now);

// Counters that went backwards (a device reset or replaced) give 0.
std::uint64_t counter_delta(std::uint64_t current, std::uint64_t previous);

// The figures of one row against the stored predecessor, none for a device
// not seen before; either way the current sample is stored afterwards.
std::optional<DiskRates> disk_step(PreviousDisks& table, const DiskSample& current, double now);
std::optional<InterfaceRates> interface_step(PreviousInterfaces& table,
                                             const InterfaceSample& current, double now);
