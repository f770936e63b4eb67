// The FreeBSD floor: the kernel calls that one scrape makes, in the same order,
// with nothing parsed, looked up or formatted. The sources named on the
// command line pick parts of it, to see which one costs what:
//   all          everything a scrape reads (any other name means this too)
//   scalars      CPU, memory, swap, load and ARC
//   disks        the devstat generation and one statistics snapshot
//   interfaces   the interface count and one MIB record per index
//   iflist       the interface counters as one routing-socket list instead
//                (NET_RT_IFLIST): the same if_data, in one call

#include "floor_reads.hpp"

#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <net/if.h>
#include <net/if_mib.h>
#include <net/route.h>
#include <libgeom.h>
#include <stdlib.h>

#include <cstring>
#include <vector>

namespace {

char buffer[4096];

long read_name(const char* name)
{
    size_t length = sizeof buffer;
    return sysctlbyname(name, buffer, &length, nullptr, 0) == 0 ? static_cast<long>(length) : 0;
}

long read_swap()
{
    int mib[17];
    size_t mib_length = 16;
    if (sysctlnametomib("vm.swap_info", mib, &mib_length) != 0)
        return 0;
    long bytes = 0;
    for (int index = 0;; ++index) {
        mib[mib_length] = index;
        size_t length = sizeof buffer;
        if (sysctl(mib, static_cast<unsigned>(mib_length + 1), buffer, &length, nullptr, 0) != 0)
            return bytes;
        bytes += static_cast<long>(length);
    }
}

long read_disks()
{
    static const bool open = geom_stats_open() == 0;
    if (!open)
        return 0;
    read_name("kern.devstat.generation");
    void* snapshot = geom_stats_snapshot_get();
    if (snapshot == nullptr)
        return 0;
    geom_stats_snapshot_reset(snapshot);
    long bytes = 0;
    while (geom_stats_snapshot_next(snapshot) != nullptr)
        bytes += sizeof(struct devstat);
    geom_stats_snapshot_free(snapshot);
    return bytes;
}

long read_interfaces()
{
    const int count_name[] = {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT};
    int count = 0;
    size_t length = sizeof count;
    if (sysctl(count_name, 5, &count, &length, nullptr, 0) != 0)
        return 0;
    long bytes = 0;
    for (int index = 1; index <= count; ++index) {
        const int data_name[] = {CTL_NET,      PF_LINK, NETLINK_GENERIC,
                                 IFMIB_IFDATA, index,   IFDATA_GENERAL};
        length = sizeof buffer;
        if (sysctl(data_name, 6, buffer, &length, nullptr, 0) == 0)
            bytes += static_cast<long>(length);
    }
    return bytes;
}

long read_interface_list()
{
    const int name[] = {CTL_NET, PF_ROUTE, 0, AF_LINK, NET_RT_IFLIST, 0};
    static std::vector<char> list;
    size_t length = 0;
    if (sysctl(name, 6, nullptr, &length, nullptr, 0) != 0)
        return 0;
    // Room for interfaces created between the two calls.
    length += length / 8;
    if (list.size() < length)
        list.resize(length);
    if (sysctl(name, 6, list.data(), &length, nullptr, 0) != 0)
        return 0;
    return static_cast<long>(length);
}

long read_scalars()
{
    long bytes = read_name("kern.cp_time") + read_name("kern.clockrate");
    bytes += read_name("vm.stats.vm.v_page_count") + read_name("vm.stats.vm.v_free_count");
    bytes += read_swap();
    double load[3];
    bytes += getloadavg(load, 3) == 3 ? static_cast<long>(sizeof load) : 0;
    return bytes + read_name("kstat.zfs.misc.arcstats.size") +
           read_name("kstat.zfs.misc.arcstats.c_max");
}

long read_part(const char* part)
{
    if (std::strcmp(part, "scalars") == 0)
        return read_scalars();
    if (std::strcmp(part, "disks") == 0)
        return read_disks();
    if (std::strcmp(part, "interfaces") == 0)
        return read_interfaces();
    if (std::strcmp(part, "iflist") == 0)
        return read_interface_list();
    return read_scalars() + read_disks() + read_interfaces();
}

}  // namespace

long read_sources_once(char** sources, int count)
{
    long bytes = 0;
    for (int i = 0; i < count; ++i)
        bytes += read_part(sources[i]);
    return bytes;
}
