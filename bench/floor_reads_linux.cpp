// The Linux floor: each source is a kernel file, opened, read whole and closed;
// "netlink:links" stands for the interface source, one bare rtnetlink
// statistics dump and a name per link.

#include "floor_reads.hpp"

#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

char buffer[1 << 20];

// NLMSG_OK, without its comparison of the unsigned message length with the
// signed remainder that clang warns about. The remainder stays signed: it goes
// below zero past a last message whose padding the read did not hold.
bool message_fits(const nlmsghdr* message, int left)
{
    return left >= static_cast<int>(sizeof *message) && message->nlmsg_len >= sizeof *message &&
           message->nlmsg_len <= static_cast<unsigned>(left);
}

long dump_links()
{
    // One socket for every dump, as the exporter keeps its own.
    static const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return 0;
    struct {
        nlmsghdr header;
        if_stats_msg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETSTATS;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.body.family = AF_UNSPEC;
    request.body.filter_mask = IFLA_STATS_FILTER_BIT(IFLA_STATS_LINK_64);
    send(fd, &request, sizeof request, 0);
    long bytes = 0;
    for (bool done = false; !done;) {
        const ssize_t got = recv(fd, buffer, 32768, 0);
        if (got <= 0)
            break;
        bytes += got;
        int left = static_cast<int>(got);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); message_fits(message, left);
             message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            ifreq name{};
            name.ifr_ifindex =
                static_cast<int>(static_cast<const if_stats_msg*>(NLMSG_DATA(message))->ifindex);
            ioctl(fd, SIOCGIFNAME, &name);
        }
    }
    return bytes;
}

}  // namespace

long read_sources_once(char** sources, int count)
{
    long bytes = 0;
    for (int s = 0; s < count; ++s) {
        if (std::strcmp(sources[s], "netlink:links") == 0) {
            bytes += dump_links();
            continue;
        }
        const int fd = open(sources[s], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t got;
        while ((got = read(fd, buffer, sizeof buffer)) > 0)
            bytes += got;
        close(fd);
    }
    return bytes;
}
