#include "top/rate_tracking.hpp"

#include <algorithm>

namespace {

// A clock that did not advance must not divide by zero or turn rates negative.
double seconds_since(double stored_at, double now)
{
    const double elapsed = now - stored_at;
    return elapsed > 0 ? elapsed : 1.0;
}

double per_second(std::uint64_t current, std::uint64_t previous, double elapsed)
{
    return static_cast<double>(counter_delta(current, previous)) / elapsed;
}

template <typename Table, typename Sample>
void store_in(Table& table, const Sample& sample, double now)
{
    // One look-up serves both cases; a known name keeps its node and key.
    const auto entry = table.lower_bound(sample.name);
    if (entry != table.end() && entry->first == sample.name) {
        entry->second.sample = sample;
        entry->second.stored_at = now;
        return;
    }
    table.emplace_hint(entry, sample.name, typename Table::mapped_type{sample, now});
}

}  // namespace

const StoredDisk* find_previous(const PreviousDisks& table, const std::string& name)
{
    const auto entry = table.find(name);
    return entry == table.end() ? nullptr : &entry->second;
}

const StoredInterface* find_previous(const PreviousInterfaces& table, const std::string& name)
{
    const auto entry = table.find(name);
    return entry == table.end() ? nullptr : &entry->second;
}

void store_sample(PreviousDisks& table, const DiskSample& sample, double now)
{
    store_in(table, sample, now);
}

void store_sample(PreviousInterfaces& table, const InterfaceSample& sample, double now)
{
    store_in(table, sample, now);
}

std::uint64_t counter_delta(std::uint64_t current, std::uint64_t previous)
{
    return current >= previous ? current - previous : 0;
}

std::optional<DiskRates> disk_step(PreviousDisks& table, const DiskSample& current, double now)
{
    std::optional<DiskRates> rates;
    if (const StoredDisk* stored = find_previous(table, current.name)) {
        const DiskSample& previous = stored->sample;
        const double elapsed = seconds_since(stored->stored_at, now);
        const double busy = (current.busy_seconds - previous.busy_seconds) / elapsed * 100;
        rates = DiskRates{
            std::clamp(busy, 0.0, 100.0),
            per_second(current.read_bytes, previous.read_bytes, elapsed),
            per_second(current.write_bytes, previous.write_bytes, elapsed),
        };
    }
    store_sample(table, current, now);
    return rates;
}

std::optional<InterfaceRates> interface_step(PreviousInterfaces& table,
                                             const InterfaceSample& current, double now)
{
    std::optional<InterfaceRates> rates;
    if (const StoredInterface* stored = find_previous(table, current.name)) {
        const InterfaceSample& previous = stored->sample;
        const double elapsed = seconds_since(stored->stored_at, now);
        rates = InterfaceRates{
            per_second(current.rx_bytes, previous.rx_bytes, elapsed),
            per_second(current.tx_bytes, previous.tx_bytes, elapsed),
            per_second(current.rx_packets, previous.rx_packets, elapsed),
            per_second(current.tx_packets, previous.tx_packets, elapsed),
        };
    }
    store_sample(table, current, now);
    return rates;
}
