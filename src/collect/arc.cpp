#include "collect/scalar_readings.hpp"

#include <sys/types.h>
#include <sys/sysctl.h>

#include <cstdint>

namespace {

bool read_u64(const char* name, std::uint64_t& value)
{
    std::uint64_t read = 0;
    size_t length = sizeof read;
    if (sysctlbyname(name, &read, &length, nullptr, 0) != 0 || length != sizeof read)
        return false;
    value = read;
    return true;
}

}  // namespace

// The ZFS ARC names exist only while ZFS is loaded.
bool read_arc_sizes(ArcSizes& arc)
{
    std::uint64_t size = 0;
    if (!read_u64("kstat.zfs.misc.arcstats.size", size))
        return false;
    std::uint64_t c_max = 0;
    if (!read_u64("kstat.zfs.misc.arcstats.c_max", c_max))
        c_max = 0;
    arc.size_bytes = size;
    arc.c_max_bytes = c_max;
    return true;
}
