// "net.link.generic": FreeBSD's interface MIB, answered from the kernel's link
// list. A reader asks for the highest index and then for each index in turn;
// the count read takes one fresh link list and the index reads that follow it
// answer from that list, so a whole walk costs one kernel dump.

#include <errno.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <net/if.h>
#include <net/if_mib.h>
#include <time.h>

#include <cstring>
#include <vector>

#include "link_table.hpp"
#include "sysctl_answers.hpp"

namespace {

// The link list of the current walk. Per thread, so concurrent walks never see
// each other's lists.
struct Walk {
    std::vector<LinkRecord> links;
    bool open = false;
    int last_index = 0;
    size_t next = 0;  // where the search for the next index starts
    timespec taken{};
};

thread_local Walk walk;

// An index read that does not continue the current walk in ascending order,
// or comes this long after the list was taken, reads the kernel again.
constexpr long long walk_lifetime_nanoseconds = 1000000000;

int start_walk()
{
    const int error = read_link_table(walk.links);
    walk.open = error == 0;
    walk.last_index = 0;
    walk.next = 0;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &walk.taken);
    return error;
}

bool continues_walk(int index)
{
    if (!walk.open || index <= walk.last_index)
        return false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const long long age =
        (now.tv_sec - walk.taken.tv_sec) * 1000000000LL + (now.tv_nsec - walk.taken.tv_nsec);
    return age < walk_lifetime_nanoseconds;
}

// "system.ifcount": like FreeBSD 14, the highest index in use, not a count.
int answer_interface_count(void* oldp, size_t* oldlenp)
{
    const int error = start_walk();
    if (error != 0)
        return error;
    const int highest = walk.links.empty() ? 0 : walk.links.back().index;
    return copy_out(&highest, sizeof highest, oldp, oldlenp);
}

void fill_interface_data(const LinkRecord& link, struct ifmibdata& data)
{
    std::memset(&data, 0, sizeof data);
    static_assert(sizeof data.ifmd_name == sizeof link.name);
    std::memcpy(data.ifmd_name, link.name, sizeof data.ifmd_name);
    data.ifmd_name[sizeof data.ifmd_name - 1] = '\0';
    struct if_data& counters = data.ifmd_data;
    counters.ifi_ibytes = link.rx_bytes;
    counters.ifi_obytes = link.tx_bytes;
    counters.ifi_ipackets = link.rx_packets;
    counters.ifi_opackets = link.tx_packets;
    counters.ifi_ierrors = link.rx_errors;
    counters.ifi_oerrors = link.tx_errors;
    counters.ifi_iqdrops = link.rx_dropped;
    counters.ifi_oqdrops = link.tx_dropped;
    counters.ifi_imcasts = link.multicast;
    counters.ifi_collisions = link.collisions;
}

// "ifdata.<index>.general".
int answer_interface_data(int index, int kind, void* oldp, size_t* oldlenp)
{
    if (index <= 0 || kind != IFDATA_GENERAL)
        return ENOENT;
    if (!continues_walk(index)) {
        const int error = start_walk();
        if (error != 0)
            return error;
    }
    walk.last_index = index;
    // The indexes asked for ascend, like the list: the next link is found by
    // stepping on from the last one, not by searching the whole list again.
    while (walk.next < walk.links.size() && walk.links[walk.next].index < index)
        ++walk.next;
    if (walk.next == walk.links.size() || walk.links[walk.next].index != index)
        return ENOENT;
    struct ifmibdata data;
    fill_interface_data(walk.links[walk.next], data);
    return copy_out(&data, sizeof data, oldp, oldlenp);
}

}  // namespace

int answer_interface_mib(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp)
{
    if (namelen < 4)
        return EINVAL;
    switch (name[3]) {
    case IFMIB_SYSTEM:
        if (namelen != 5)
            return EINVAL;
        return name[4] == IFMIB_IFCOUNT ? answer_interface_count(oldp, oldlenp) : ENOENT;
    case IFMIB_IFDATA:
        if (namelen != 6)
            return EINVAL;
        return answer_interface_data(name[4], name[5], oldp, oldlenp);
    default: return ENOENT;
    }
}
