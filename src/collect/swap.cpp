#include "collect/scalar_readings.hpp"

#include <sys/types.h>
#include <sys/sysctl.h>
#include <vm/vm_param.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

bool read_swap_usage(SwapUsage& swap)
{
    // Room for 16 components as resolved, plus the device index appended.
    int mib[16 + 1];
    size_t mib_length = 16;
    if (sysctlnametomib("vm.swap_info", mib, &mib_length) != 0 || mib_length > 16)
        return false;

    const auto page_size = static_cast<std::int64_t>(getpagesize());
    std::int64_t total_pages = 0;
    std::int64_t used_pages = 0;

    // One record per device; the first index without a device ends the walk.
    for (int index = 0; index < INT_MAX; ++index) {
        mib[mib_length] = index;
        struct xswdev device {};
        size_t length = sizeof device;
        if (sysctl(mib, static_cast<unsigned>(mib_length + 1), &device, &length, nullptr, 0) != 0)
            break;
        if (device.xsw_version != XSWDEV_VERSION)
            continue;
        total_pages += device.xsw_nblks;
        used_pages += device.xsw_used;
    }

    swap.total_bytes = static_cast<std::uint64_t>(total_pages * page_size);
    swap.used_bytes = static_cast<std::uint64_t>(used_pages * page_size);
    return true;
}
