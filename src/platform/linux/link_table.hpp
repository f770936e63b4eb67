#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The kernel's network links as one list: one statistics dump, then a name per link.
// Kept free of Linux's netlink headers: their NETLINK_GENERIC (a netlink
// protocol) clashes with FreeBSD's (the "net.link.generic" level).

struct LinkRecord {
    int index;
    char name[16];  // NUL-terminated
    std::uint64_t rx_bytes;
    std::uint64_t tx_bytes;
    std::uint64_t rx_packets;
    std::uint64_t tx_packets;
    std::uint64_t rx_errors;
    std::uint64_t tx_errors;
    std::uint64_t rx_dropped;  // including packets the device missed
    std::uint64_t tx_dropped;
    std::uint64_t multicast;
    std::uint64_t collisions;
};

// Replaces `links` with every link of this process's network namespace, in
// ascending index: 0, or an errno value with `links` empty.
int read_link_table(std::vector<LinkRecord>& links);

// Walks one read of dump replies for the dump numbered `sequence`, adding the
// links it reports: 0 when the dump is done, an errno value when it failed or
// a reply is malformed, -1 when more replies are to come.
int walk_link_replies(const char* buffer, std::size_t length, std::uint32_t sequence,
                      std::vector<LinkRecord>& links);
