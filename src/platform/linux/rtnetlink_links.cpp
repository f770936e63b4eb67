// The link list from one rtnetlink statistics dump (RTM_GETSTATS, asking for
// the 64-bit link counters only): indexes and counters of every interface in a
// few large reads, and then each name by index. The full link dump
// (RTM_GETLINK) would cost the kernel about 1.5 KB of attributes per link.

#include <errno.h>
#include <linux/netlink.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "link_table.hpp"

namespace {

struct DumpRequest {
    nlmsghdr header;
    if_stats_msg stats;
};

// The routing socket of this thread, kept from one reading to the next. A
// socket answers for the network namespace it was made in, so a forked child,
// which may have moved to a namespace of its own, makes its own socket.
struct RouteSocket {
    int descriptor = -1;
    pid_t owner = 0;
    std::uint32_t last_sequence = 0;

    ~RouteSocket()
    {
        forget();
    }

    int get()
    {
        if (descriptor >= 0 && owner == getpid())
            return descriptor;
        forget();
        descriptor = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        owner = getpid();
        return descriptor;
    }

    // After a failed dump, replies may still be queued: start afresh.
    void forget()
    {
        if (descriptor >= 0)
            close(descriptor);
        descriptor = -1;
    }
};

thread_local RouteSocket route_socket;

// The counters of one RTM_NEWSTATS message; messages without them are skipped.
bool parse_link(const char* payload, size_t length, LinkRecord& link)
{
    if (length < NLMSG_ALIGN(sizeof(if_stats_msg)))
        return false;
    if_stats_msg info;
    std::memcpy(&info, payload, sizeof info);
    std::memset(&link, 0, sizeof link);
    link.index = static_cast<int>(info.ifindex);

    bool counted = false;
    size_t at = NLMSG_ALIGN(sizeof(if_stats_msg));
    while (length - at >= sizeof(rtattr)) {
        rtattr attribute;
        std::memcpy(&attribute, payload + at, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > length - at)
            break;
        const char* data = payload + at + RTA_LENGTH(0);
        const size_t data_length = attribute.rta_len - RTA_LENGTH(0);
        // Newer kernels append fields; the ones we use were there from the start,
        // and only those are copied: this runs for every link of every scrape.
        constexpr size_t used_length = offsetof(rtnl_link_stats64, rx_nohandler);
        if (attribute.rta_type == IFLA_STATS_LINK_64 && data_length >= used_length) {
            rtnl_link_stats64 stats;
            std::memcpy(&stats, data, used_length);
            link.rx_bytes = stats.rx_bytes;
            link.tx_bytes = stats.tx_bytes;
            link.rx_packets = stats.rx_packets;
            link.tx_packets = stats.tx_packets;
            link.rx_errors = stats.rx_errors;
            link.tx_errors = stats.tx_errors;
            // As /proc/net/dev counts input drops.
            link.rx_dropped = stats.rx_dropped + stats.rx_missed_errors;
            link.tx_dropped = stats.tx_dropped;
            link.multicast = stats.multicast;
            link.collisions = stats.collisions;
            counted = true;
        }
        at += RTA_ALIGN(attribute.rta_len);
        if (at > length)
            break;
    }
    return counted && link.index > 0;
}

// Names each link by its index; a link that went away since the dump is dropped.
void name_links(int descriptor, std::vector<LinkRecord>& links)
{
    std::erase_if(links, [descriptor](LinkRecord& link) {
        ifreq request{};
        request.ifr_ifindex = link.index;
        if (ioctl(descriptor, SIOCGIFNAME, &request) != 0)
            return true;
        const size_t length = strnlen(request.ifr_name, sizeof link.name - 1);
        std::memcpy(link.name, request.ifr_name, length);
        return length == 0;
    });
}

// Reads the dump's replies until NLMSG_DONE: 0 or an errno value.
int receive_links(int descriptor, std::uint32_t sequence, std::vector<LinkRecord>& links)
{
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
        iovec piece{buffer, sizeof buffer};
        msghdr message{};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        const ssize_t received = recvmsg(descriptor, &message, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0)
            return errno;
        if (received == 0)
            return EIO;
        if (message.msg_flags & MSG_TRUNC)
            return EMSGSIZE;

        const int result =
            walk_link_replies(buffer, static_cast<size_t>(received), sequence, links);
        if (result >= 0)
            return result;
    }
}

}  // namespace

int walk_link_replies(const char* buffer, size_t length, std::uint32_t sequence,
                      std::vector<LinkRecord>& links)
{
    size_t at = 0;
    // The last message of a read may lack its alignment padding: `at` can pass
    // `length`.
    while (at < length && length - at >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, buffer + at, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > length - at)
            return EPROTO;
        const char* payload = buffer + at + NLMSG_HDRLEN;
        const size_t payload_length = header.nlmsg_len - NLMSG_HDRLEN;
        if (header.nlmsg_seq == sequence) {
            if (header.nlmsg_type == NLMSG_DONE)
                return 0;
            if (header.nlmsg_type == NLMSG_ERROR) {
                nlmsgerr failure{};
                std::memcpy(&failure, payload, std::min(payload_length, sizeof failure));
                // A kernel error is a small negative errno; anything else is garbage.
                return failure.error < 0 && failure.error > -4096 ? -failure.error : EIO;
            }
            LinkRecord link;
            if (header.nlmsg_type == RTM_NEWSTATS && parse_link(payload, payload_length, link))
                links.push_back(link);
        }
        at += NLMSG_ALIGN(header.nlmsg_len);
    }
    return -1;
}

int read_link_table(std::vector<LinkRecord>& links)
{
    links.clear();
    const int descriptor = route_socket.get();
    if (descriptor < 0)
        return errno;

    DumpRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETSTATS;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = ++route_socket.last_sequence;
    request.stats.family = AF_UNSPEC;
    request.stats.filter_mask = IFLA_STATS_FILTER_BIT(IFLA_STATS_LINK_64);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int error = 0;
    if (sendto(descriptor, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
               sizeof kernel) < 0)
        error = errno;
    else
        error = receive_links(descriptor, request.header.nlmsg_seq, links);
    if (error != 0) {
        route_socket.forget();
        links.clear();
        return error;
    }
    // Older kernels dump in hash order, and a dump that raced with a change may
    // repeat a link. Newer ones dump in index order: then there is nothing to sort.
    const auto by_index = [](const LinkRecord& a, const LinkRecord& b) {
        return a.index < b.index;
    };
    if (!std::is_sorted(links.begin(), links.end(), by_index))
        std::sort(links.begin(), links.end(), by_index);
    links.erase(
        std::unique(links.begin(), links.end(),
                    [](const LinkRecord& a, const LinkRecord& b) { return a.index == b.index; }),
        links.end());
    name_links(descriptor, links);
    return 0;
}
