#pragma once

#include <cstdint>
#include <string_view>

// The identities that stand in for the kernel addresses FreeBSD uses as GEOM
// provider ids, shared by the tree and the statistics so that a statistics
// record finds its provider. An identity is derived from the device number;
// it stays the same for as long as that number belongs to a device of the
// same name, and changes when the number is reused under another name, so a
// stale tree misses the new device and gets reloaded.

// The identity of block device `major`:`minor` called `name`; never null.
const void* provider_identity(std::uint32_t major, std::uint32_t minor, std::string_view name);

// The whole-number device encoding used as a lookup key.
constexpr std::uint64_t device_key(std::uint32_t major, std::uint32_t minor)
{
    return (static_cast<std::uint64_t>(major) << 32) | minor;
}
