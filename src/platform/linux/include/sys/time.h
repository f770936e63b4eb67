// glibc's <sys/time.h> plus the two FreeBSD records that live there on FreeBSD.
#ifndef KELMAR_LINUX_SYS_TIME_H
#define KELMAR_LINUX_SYS_TIME_H

#include_next <sys/time.h>

#include <stddef.h>
#include <stdint.h>

// "kern.clockrate": the kernel's clock rates in hertz.
struct clockinfo {
    int hz;
    int tick;  // microseconds per hz tick
    int spare;
    int stathz;  // the rate at which "kern.cp_time" counts
    int profhz;
};

// A time span in whole seconds and a fraction in units of 2^-64 seconds.
struct bintime {
    time_t sec;
    uint64_t frac;
};

#ifdef __cplusplus
static_assert(sizeof(struct clockinfo) == 20, "clockinfo is 20 bytes on FreeBSD/amd64");
static_assert(offsetof(struct clockinfo, stathz) == 12, "stathz sits at byte 12");
static_assert(sizeof(struct bintime) == 16, "bintime is 16 bytes on FreeBSD/amd64");
static_assert(offsetof(struct bintime, frac) == 8, "frac sits at byte 8");
#endif

#endif
