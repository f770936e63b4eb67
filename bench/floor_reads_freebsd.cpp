// The FreeBSD floor: the kernel calls that one scrape makes, in the same order,
// with nothing parsed, looked up or formatted. The sources named on the
// command line are ignored: FreeBSD's are fixed.

#include "floor_reads.hpp"

#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <net/if.h>
#include <net/if_mib.h>
#include <libgeom.h>
#include <stdlib.h>

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

}  // namespace

long read_sources_once(char**, int)
{
    long bytes = read_name("kern.cp_time") + read_name("kern.clockrate");
    bytes += read_name("vm.stats.vm.v_page_count") + read_name("vm.stats.vm.v_free_count");
    bytes += read_swap();
    double load[3];
    bytes += getloadavg(load, 3) == 3 ? static_cast<long>(sizeof load) : 0;
    bytes += read_name("kstat.zfs.misc.arcstats.size") + read_name("kstat.zfs.misc.arcstats.c_max");
    return bytes + read_disks() + read_interfaces();
}
