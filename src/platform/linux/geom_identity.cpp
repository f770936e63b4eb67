#include "geom_identity.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct KnownDevice {
    std::uint64_t key;
    std::uint32_t generation;  // bumped when the number changes hands
    std::string name;
};

// Sorted by key. Grows only when a device number is seen for the first time,
// so lookups during a reading allocate nothing.
std::vector<KnownDevice> known_devices;

// Far above any user-space address, so it never equals the address of a
// class, geom or consumer, whose identities are their own addresses.
constexpr std::uint64_t provider_tag = std::uint64_t{1} << 63;

const void* identity_of(const KnownDevice& device)
{
    const std::uint64_t major = device.key >> 32;
    const std::uint64_t minor = device.key & 0xffffffffu;
    const std::uint64_t value = provider_tag |
                                (static_cast<std::uint64_t>(device.generation & 0x7fffff) << 40) |
                                ((major & 0xfffff) << 20) | (minor & 0xfffff);
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(value));
}

}  // namespace

const void* provider_identity(std::uint32_t major, std::uint32_t minor, std::string_view name)
{
    const std::uint64_t key = device_key(major, minor);
    auto found = std::lower_bound(
        known_devices.begin(), known_devices.end(), key,
        [](const KnownDevice& device, std::uint64_t wanted) { return device.key < wanted; });
    if (found == known_devices.end() || found->key != key)
        found = known_devices.insert(found, KnownDevice{key, 0, std::string(name)});
    else if (found->name != name) {
        ++found->generation;
        found->name.assign(name);
    }
    return identity_of(*found);
}
