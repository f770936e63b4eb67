// glibc's <net/if.h> plus FreeBSD's interface counters record.
#ifndef KELMAR_LINUX_NET_IF_H
#define KELMAR_LINUX_NET_IF_H

#include_next <net/if.h>

#include <stdint.h>
#include <sys/time.h>

// FreeBSD's fixed-width interface data (since FreeBSD 11).
struct if_data {
    uint8_t ifi_type;
    uint8_t ifi_physical;
    uint8_t ifi_addrlen;
    uint8_t ifi_hdrlen;
    uint8_t ifi_link_state;
    uint8_t ifi_vhid;
    uint16_t ifi_datalen;
    uint32_t ifi_mtu;
    uint32_t ifi_metric;
    uint64_t ifi_baudrate;
    uint64_t ifi_ipackets;
    uint64_t ifi_ierrors;
    uint64_t ifi_opackets;
    uint64_t ifi_oerrors;
    uint64_t ifi_collisions;
    uint64_t ifi_ibytes;
    uint64_t ifi_obytes;
    uint64_t ifi_imcasts;
    uint64_t ifi_omcasts;
    uint64_t ifi_iqdrops;
    uint64_t ifi_oqdrops;
    uint64_t ifi_noproto;
    uint64_t ifi_hwassist;
    union {
        time_t tt;
        uint64_t ph;
    } __ifi_epoch;
    union {
        struct timeval tv;
        struct {
            uint64_t ph1;
            uint64_t ph2;
        } ph;
    } __ifi_lastchange;
};
#define ifi_epoch __ifi_epoch.tt
#define ifi_lastchange __ifi_lastchange.tv

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(struct if_data) == 152, "if_data is 152 bytes on FreeBSD/amd64");
static_assert(offsetof(struct if_data, ifi_ipackets) == 24, "ifi_ipackets sits at byte 24");
static_assert(offsetof(struct if_data, ifi_ibytes) == 64, "ifi_ibytes sits at byte 64");
static_assert(offsetof(struct if_data, ifi_iqdrops) == 96, "ifi_iqdrops sits at byte 96");
#endif

#endif
