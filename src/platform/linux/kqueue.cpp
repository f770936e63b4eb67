// kqueue over epoll, for read filters on descriptors: what a server that
// watches sockets for readiness needs. Each registration is an epoll entry
// whose data carries the descriptor, and whether it is a listening socket;
// other filters and flags are refused.
#include <errno.h>
#include <limits.h>
#include <sys/epoll.h>
#include <sys/event.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

constexpr unsigned short supported_flags = EV_ADD | EV_DELETE | EV_ENABLE | EV_CLEAR | EV_ONESHOT;

// Set in an entry's data above the descriptor for a listening socket, which has
// no byte count to report: asked once here rather than on every wake-up.
constexpr std::uint64_t listening_flag = std::uint64_t{1} << 32;

bool is_listening_socket(int fd)
{
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0;
}

int apply_change(int kq, const struct kevent& change)
{
    if (change.filter != EVFILT_READ || (change.flags & ~supported_flags) != 0 ||
        change.udata != nullptr || (change.flags & (EV_ADD | EV_DELETE)) == 0)
        return EINVAL;
    if (change.ident > static_cast<std::uintptr_t>(INT_MAX))
        return EBADF;
    const int fd = static_cast<int>(change.ident);
    if ((change.flags & EV_DELETE) != 0)
        return epoll_ctl(kq, EPOLL_CTL_DEL, fd, nullptr) == 0 ? 0 : errno;

    struct epoll_event watched {};
    watched.events = EPOLLIN | EPOLLRDHUP;
    if ((change.flags & EV_CLEAR) != 0)
        watched.events |= EPOLLET;
    if ((change.flags & EV_ONESHOT) != 0)
        watched.events |= EPOLLONESHOT;
    watched.data.u64 =
        static_cast<std::uint32_t>(fd) | (is_listening_socket(fd) ? listening_flag : 0);
    // EV_ADD on a descriptor already registered modifies it, as kqueue does.
    if (epoll_ctl(kq, EPOLL_CTL_ADD, fd, &watched) == 0)
        return 0;
    if (errno == EEXIST && epoll_ctl(kq, EPOLL_CTL_MOD, fd, &watched) == 0)
        return 0;
    return errno;
}

int timeout_in_milliseconds(const struct timespec* timeout)
{
    if (timeout == nullptr)
        return -1;
    if (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000L)
        return -2;
    // Rounded up: waking early would report a timeout before it has passed.
    const long long milliseconds =
        static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_nsec + 999999) / 1000000;
    return static_cast<int>(std::min<long long>(milliseconds, INT_MAX));
}

struct kevent read_event(const struct epoll_event& ready)
{
    const auto fd = static_cast<int>(ready.data.u64 & 0xffffffffu);
    struct kevent event {};
    event.ident = static_cast<std::uintptr_t>(fd);
    event.filter = EVFILT_READ;
    if ((ready.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0)
        event.flags |= EV_EOF;
    // Bytes waiting to be read. FreeBSD gives a listening socket's queue length
    // instead, which epoll does not tell: it stays 0.
    int pending = 0;
    if ((ready.data.u64 & listening_flag) == 0 && ioctl(fd, FIONREAD, &pending) == 0)
        event.data = pending;
    return event;
}

}  // namespace

extern "C" int kqueue(void)
{
    return epoll_create1(EPOLL_CLOEXEC);
}

extern "C" int kevent(int kq, const struct kevent* changelist, int nchanges,
                      struct kevent* eventlist, int nevents, const struct timespec* timeout)
{
    if (nchanges < 0 || nevents < 0) {
        errno = EINVAL;
        return -1;
    }
    // A failed change becomes an EV_ERROR event while there is room for it,
    // and the call then returns without waiting; otherwise it fails the call.
    int errors = 0;
    for (int i = 0; i < nchanges; ++i) {
        const int error = apply_change(kq, changelist[i]);
        if (error == 0)
            continue;
        if (errors == nevents) {
            errno = error;
            return -1;
        }
        struct kevent& report = eventlist[errors++];
        report = changelist[i];
        report.flags = EV_ERROR;
        report.data = error;
    }
    if (errors > 0 || nevents == 0)
        return errors;

    const int milliseconds = timeout_in_milliseconds(timeout);
    if (milliseconds == -2) {
        errno = EINVAL;
        return -1;
    }
    constexpr int batch = 64;
    struct epoll_event ready[batch];
    // epoll_wait is never restarted after a signal handler: EINTR, as kevent.
    const int count = epoll_wait(kq, ready, std::min(nevents, batch), milliseconds);
    if (count < 0)
        return -1;
    for (int i = 0; i < count; ++i)
        eventlist[i] = read_event(ready[i]);
    return count;
}
