// FreeBSD's sysctl interface, answered on Linux from /proc.
#ifndef KELMAR_LINUX_SYS_SYSCTL_H
#define KELMAR_LINUX_SYS_SYSCTL_H

#include <stddef.h>

#define CTL_MAXNAME 24

#define CTL_SYSCTL 0
#define CTL_KERN 1
#define CTL_VM 2
#define CTL_VFS 3
#define CTL_NET 4
#define CTL_DEBUG 5
#define CTL_HW 6
#define CTL_MACHDEP 7
#define CTL_USER 8
#define CTL_P1003_1B 9

#define KERN_CLOCKRATE 12

#ifdef __cplusplus
extern "C" {
#endif

int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp, const void* newp,
           size_t newlen);
int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);
// *sizep counts ints, not bytes: the room in mibp, then the components written.
int sysctlnametomib(const char* name, int* mibp, size_t* sizep);

#ifdef __cplusplus
}
#endif

#endif
