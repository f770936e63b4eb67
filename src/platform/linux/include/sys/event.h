// FreeBSD's kqueue, as much of it as a server watching sockets for reading and
// writing needs, implemented on Linux over epoll.
#ifndef KELMAR_LINUX_SYS_EVENT_H
#define KELMAR_LINUX_SYS_EVENT_H

#include <stdint.h>
#include <time.h>

#define EVFILT_READ (-1)
#define EVFILT_WRITE (-2)

#define EV_ADD 0x0001
#define EV_DELETE 0x0002
#define EV_ENABLE 0x0004
#define EV_DISABLE 0x0008
#define EV_ONESHOT 0x0010
#define EV_CLEAR 0x0020
#define EV_RECEIPT 0x0040
#define EV_DISPATCH 0x0080
#define EV_ERROR 0x4000
#define EV_EOF 0x8000

struct kevent {
    uintptr_t ident;
    short filter;
    unsigned short flags;
    unsigned int fflags;
    int64_t data;
    void* udata;
    uint64_t ext[4];
};

#define EV_SET(kevp_, a, b, c, d, e, f)                                                            \
    do {                                                                                           \
        struct kevent* kevp = (kevp_);                                                             \
        (kevp)->ident = (a);                                                                       \
        (kevp)->filter = (b);                                                                      \
        (kevp)->flags = (c);                                                                       \
        (kevp)->fflags = (d);                                                                      \
        (kevp)->data = (e);                                                                        \
        (kevp)->udata = (f);                                                                       \
        (kevp)->ext[0] = 0;                                                                        \
        (kevp)->ext[1] = 0;                                                                        \
        (kevp)->ext[2] = 0;                                                                        \
        (kevp)->ext[3] = 0;                                                                        \
    } while (0)

#ifdef __cplusplus
extern "C" {
#endif

int kqueue(void);
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout);

#ifdef __cplusplus
}

#include <cstddef>
static_assert(sizeof(struct kevent) == 64, "kevent is 64 bytes on FreeBSD/amd64");
static_assert(offsetof(struct kevent, data) == 16, "data sits at byte 16");
static_assert(offsetof(struct kevent, ext) == 32, "ext sits at byte 32");
#endif

#endif
