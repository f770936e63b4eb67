#pragma once

#include <cstddef>

// Pieces of the Linux sysctl that live in files of their own. Each returns 0
// or an errno value, and fills the caller's buffer as FreeBSD's sysctl does.

// Copies a value of `size` bytes out: the size alone when `oldp` is null, a
// partial copy and ENOMEM when the buffer is too short.
int copy_out(const void* value, size_t size, void* oldp, size_t* oldlenp);

// "net.link.generic", the interface MIB: `name` starts with CTL_NET, PF_LINK,
// NETLINK_GENERIC.
int answer_interface_mib(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp);

// "kern.devstat.generation", a long that moves whenever a block device comes
// or goes.
int answer_devstat_generation(void* oldp, size_t* oldlenp);
