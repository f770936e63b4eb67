// FreeBSD's swap-device record, as "vm.swap_info" hands it out, and the
// fixed number of "vm.loadavg".
#ifndef KELMAR_LINUX_VM_VM_PARAM_H
#define KELMAR_LINUX_VM_VM_PARAM_H

#include <stdint.h>

#define VM_LOADAVG 2  // {CTL_VM, VM_LOADAVG}: "vm.loadavg", as getloadavg reads it
#define XSWDEV_VERSION 2

struct xswdev {
    unsigned int xsw_version;
    uint64_t xsw_dev;  // FreeBSD's 64-bit dev_t
    int xsw_flags;
    int xsw_nblks;  // size in pages
    int xsw_used;   // pages in use
};

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(struct xswdev) == 32, "xswdev is 32 bytes on FreeBSD/amd64");
static_assert(alignof(struct xswdev) == 8, "xswdev is 8-byte aligned");
static_assert(offsetof(struct xswdev, xsw_dev) == 8, "xsw_dev sits at byte 8");
static_assert(offsetof(struct xswdev, xsw_flags) == 16, "xsw_flags sits at byte 16");
static_assert(offsetof(struct xswdev, xsw_nblks) == 20, "xsw_nblks sits at byte 20");
static_assert(offsetof(struct xswdev, xsw_used) == 24, "xsw_used sits at byte 24");
#endif

#endif
