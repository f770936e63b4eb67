#include <dlfcn.h>
#include <errno.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "collect/interface_samples.hpp"

namespace {

// While set, the 64-bit counters of every link in the kernel's replies read
// 1000, 2000, ... in the order of struct rtnl_link_stats64.
bool counters_numbered = false;
// The links of each reply in reverse order, as older kernels' hash order may have them.
bool links_reversed = false;
// While set, every receive fails with it.
int receive_error = 0;

void reverse_links(char* replies, size_t length)
{
    std::vector<std::string> links;
    for (size_t at = 0; length - at >= NLMSG_HDRLEN;) {
        const auto* header = reinterpret_cast<const nlmsghdr*>(replies + at);
        if (header->nlmsg_type != RTM_NEWSTATS && header->nlmsg_type != RTM_NEWLINK)
            break;
        links.emplace(links.begin(), replies + at, NLMSG_ALIGN(header->nlmsg_len));
        at += NLMSG_ALIGN(header->nlmsg_len);
    }
    for (const std::string& link : links)
        replies = std::copy(link.begin(), link.end(), replies);
}

}  // namespace

// Every receive of this program passes here: counters that differ from each
// other, and missed packets, cannot be made on this machine at will.
extern "C" ssize_t recvmsg(int fd, struct msghdr* message, int flags)
{
    static const auto kernel_recvmsg =
        reinterpret_cast<ssize_t (*)(int, struct msghdr*, int)>(dlsym(RTLD_NEXT, "recvmsg"));
    if (receive_error != 0) {
        errno = receive_error;
        return -1;
    }
    const ssize_t received = kernel_recvmsg(fd, message, flags);
    char* replies = static_cast<char*>(message->msg_iov[0].iov_base);
    for (ssize_t at = 0; counters_numbered && received - at >= NLMSG_HDRLEN;) {
        const auto* header = reinterpret_cast<const nlmsghdr*>(replies + at);
        auto* attribute = reinterpret_cast<rtattr*>(replies + at + NLMSG_HDRLEN +
                                                    NLMSG_ALIGN(sizeof(if_stats_msg)));
        int left =
            static_cast<int>(header->nlmsg_len - NLMSG_HDRLEN - NLMSG_ALIGN(sizeof(if_stats_msg)));
        for (; header->nlmsg_type == RTM_NEWSTATS && RTA_OK(attribute, left);
             attribute = RTA_NEXT(attribute, left))
            for (std::uint64_t k = 0;
                 attribute->rta_type == IFLA_STATS_LINK_64 && (k + 1) * 8 <= RTA_PAYLOAD(attribute);
                 ++k) {
                const std::uint64_t value = (k + 1) * 1000;
                std::memcpy(static_cast<char*>(RTA_DATA(attribute)) + 8 * k, &value, 8);
            }
        at += static_cast<ssize_t>(NLMSG_ALIGN(header->nlmsg_len));
    }
    if (links_reversed && received > 0)
        reverse_links(replies, static_cast<size_t>(received));
    return received;
}

namespace {

TEST(InterfaceMib, LinksDumpedOutOfIndexOrderAreAllReadAndAFailedDumpIsNoReading)
{
    const auto names = [] {
        std::vector<InterfaceSample> samples;
        EXPECT_TRUE(read_interface_samples(samples));
        std::string listed;
        for (const InterfaceSample& s : samples)
            listed += s.name + " ";
        return listed;
    };
    const std::string in_order = names();
    links_reversed = true;
    EXPECT_EQ(names(), in_order);
    links_reversed = false;
    // A dump that fails is no reading, rather than a short one.
    receive_error = ENOBUFS;
    std::vector<InterfaceSample> samples{{"stale", 1, 1, 1, 1, 1, 1, 1}};
    EXPECT_FALSE(read_interface_samples(samples));
    EXPECT_TRUE(samples.empty());
    receive_error = 0;
}

// Each counter from its own field of the kernel's, and missed packets counted
// as input drops, as /proc/net/dev counts them.
TEST(InterfaceMib, EveryCounterFromItsOwnFieldAndMissedPacketsAreDrops)
{
    counters_numbered = true;
    std::vector<InterfaceSample> samples;
    EXPECT_TRUE(read_interface_samples(samples));
    counters_numbered = false;
    ASSERT_FALSE(samples.empty());
    const InterfaceSample& s = samples[0];
    EXPECT_EQ(std::vector<std::uint64_t>({s.rx_bytes, s.tx_bytes, s.rx_packets, s.tx_packets,
                                          s.rx_errors, s.tx_errors, s.rx_drops}),
              std::vector<std::uint64_t>({3000, 4000, 1000, 2000, 5000, 6000, 7000 + 16000}));
}

}  // namespace
