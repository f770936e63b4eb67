#include "collect/interface_samples.hpp"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <net/if.h>
#include <net/if_mib.h>

#include <algorithm>
#include <cstring>

bool read_interface_samples(std::vector<InterfaceSample>& interfaces)
{
    interfaces.clear();

    const int count_name[] = {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT};
    int count = 0;
    size_t length = sizeof count;
    if (sysctl(count_name, 5, &count, &length, nullptr, 0) != 0)
        return false;

    // The count is the highest index in use; destroyed interfaces leave gaps.
    // Room for them all at once: growing step by step through a thousand
    // interfaces would leave every smaller copy behind in the heap. Interface
    // indexes are 16-bit, which bounds a nonsensical count.
    interfaces.reserve(static_cast<size_t>(std::clamp(count, 0, 65535)));
    for (int index = 1; index <= count; ++index) {
        const int data_name[] = {CTL_NET,      PF_LINK, NETLINK_GENERIC,
                                 IFMIB_IFDATA, index,   IFDATA_GENERAL};
        struct ifmibdata data;
        std::memset(&data, 0, sizeof data);
        length = sizeof data;
        if (sysctl(data_name, 6, &data, &length, nullptr, 0) != 0)
            continue;
        // The name field is NUL-terminated by the kernel, but never trust that.
        const size_t name_length = strnlen(data.ifmd_name, sizeof data.ifmd_name);
        const struct if_data& counters = data.ifmd_data;
        interfaces.push_back(InterfaceSample{
            std::string(data.ifmd_name, name_length),
            counters.ifi_ibytes,
            counters.ifi_obytes,
            counters.ifi_ipackets,
            counters.ifi_opackets,
            counters.ifi_ierrors,
            counters.ifi_oerrors,
            counters.ifi_iqdrops,
        });
    }
    return true;
}
