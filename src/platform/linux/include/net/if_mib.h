// FreeBSD's interface MIB ("net.link.generic"), answered on Linux from the
// kernel's own interface list. Like FreeBSD's, this header expects
// <sys/types.h>, <sys/socket.h> and <net/if.h> to be included first.
//
// Linux's <linux/netlink.h> has a NETLINK_GENERIC of its own (16, a netlink
// protocol); never include both in one file.
#ifndef KELMAR_LINUX_NET_IF_MIB_H
#define KELMAR_LINUX_NET_IF_MIB_H

#ifndef AF_LINK
#define AF_LINK 18
#endif
#ifndef PF_LINK
#define PF_LINK AF_LINK
#endif

#define NETLINK_GENERIC 0

#define IFMIB_SYSTEM 1
#define IFMIB_IFDATA 2

#define IFMIB_IFCOUNT 1

#define IFDATA_GENERAL 1
#define IFDATA_LINKSPECIFIC 2
#define IFDATA_DRIVERNAME 3

struct ifmibdata {
    char ifmd_name[IFNAMSIZ];  // NUL-terminated on FreeBSD
    int ifmd_pcount;
    int ifmd_flags;
    int ifmd_snd_len;
    int ifmd_snd_maxlen;
    int ifmd_snd_drops;
    int ifmd_filler[4];
    struct if_data ifmd_data;
};

#ifdef __cplusplus
#include <cstddef>
static_assert(IFNAMSIZ == 16, "interface names are 16 bytes with their NUL");
static_assert(sizeof(struct ifmibdata) == 208, "ifmibdata is 208 bytes on FreeBSD/amd64");
static_assert(offsetof(struct ifmibdata, ifmd_data) == 56, "ifmd_data sits at byte 56");
#endif

#endif
