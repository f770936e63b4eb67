// kqueue over epoll, for what a server that watches sockets needs: read and
// write filters on descriptors, added and deleted, level-triggered, each with
// its own udata. epoll has one entry per descriptor, so each kqueue keeps a
// table of the filters on every descriptor and gives epoll their union; other
// filters and flags are refused.
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/event.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace {

struct Filter {
    bool on = false;
    void* udata = nullptr;
};

struct Registration {
    Filter read;
    Filter write;
    bool listening = false;  // asked once, not at every wake-up
};

using Table = std::unordered_map<int, Registration>;

// By kqueue descriptor. A table outlives its kqueue until kqueue() hands out
// the same number again.
std::unordered_map<int, Table>& tables()
{
    static std::unordered_map<int, Table> by_kqueue;
    return by_kqueue;
}

bool is_listening_socket(int fd)
{
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0;
}

std::uint32_t epoll_events(const Registration& registration)
{
    return (registration.read.on ? EPOLLIN | EPOLLRDHUP : 0u) |
           (registration.write.on ? EPOLLOUT : 0u);
}

// Gives epoll the filters now on `fd`, whose entry had `before` events;
// `changed` is the filter just set.
int update(int kq, int fd, Registration& registration, const Filter& changed, std::uint32_t before)
{
    struct epoll_event watched {};
    watched.events = epoll_events(registration);
    watched.data.fd = fd;
    if (watched.events == 0)
        return epoll_ctl(kq, EPOLL_CTL_DEL, fd, nullptr) == 0 ? 0 : errno;
    if (before != 0) {
        if (epoll_ctl(kq, EPOLL_CTL_MOD, fd, &watched) == 0)
            return 0;
        if (errno != ENOENT || !changed.on)
            return errno;
        // FreeBSD drops a descriptor's filters when it is closed, and epoll
        // its entry: the other filter in the table belongs to an earlier
        // descriptor of that number, and goes.
        (&changed == &registration.read ? registration.write : registration.read) = Filter{};
        watched.events = epoll_events(registration);
    }
    if (epoll_ctl(kq, EPOLL_CTL_ADD, fd, &watched) == 0)
        return 0;
    if (errno == EEXIST && epoll_ctl(kq, EPOLL_CTL_MOD, fd, &watched) == 0)
        return 0;
    return errno;
}

int apply_change(int kq, Table& table, const struct kevent& change)
{
    const bool add = change.flags == EV_ADD;
    if ((change.filter != EVFILT_READ && change.filter != EVFILT_WRITE) ||
        (!add && change.flags != EV_DELETE))
        return EINVAL;
    if (change.ident > static_cast<std::uintptr_t>(INT_MAX))
        return EBADF;
    const int fd = static_cast<int>(change.ident);
    auto found = table.find(fd);
    if (!add && found == table.end())
        return ENOENT;
    Registration& registration = add ? table[fd] : found->second;
    Filter& filter = change.filter == EVFILT_READ ? registration.read : registration.write;
    if (!add && !filter.on)
        return ENOENT;
    const std::uint32_t before = epoll_events(registration);
    if (add && before == 0)
        registration.listening = is_listening_socket(fd);
    filter = Filter{add, change.udata};
    const int error = update(kq, fd, registration, filter, before);
    if (error != 0 && add)
        filter = Filter{};
    if (epoll_events(registration) == 0)
        table.erase(fd);
    return error;
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

// Bytes waiting to be read; for a listening socket, as on FreeBSD, the
// connections waiting to be accepted, which Linux counts in its TCP_INFO.
std::int64_t readable_count(int fd, bool listening)
{
    if (listening) {
        struct tcp_info info {};
        socklen_t length = sizeof info;
        return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_unacked : 0;
    }
    int pending = 0;
    return ioctl(fd, FIONREAD, &pending) == 0 ? pending : 0;
}

// The events one epoll report makes, at most `room` of them: the read filter's
// first. What does not fit is reported again by the next wait.
int report(const Registration& registration, int fd, std::uint32_t ready, struct kevent* out,
           int room)
{
    const bool ended = (ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    int count = 0;
    if (registration.read.on && (ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 &&
        count < room) {
        struct kevent& event = out[count++];
        event = {};
        event.ident = static_cast<std::uintptr_t>(fd);
        event.filter = EVFILT_READ;
        event.udata = registration.read.udata;
        if (ended)
            event.flags |= EV_EOF;
        event.data = readable_count(fd, registration.listening);
    }
    if (registration.write.on && (ready & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0 &&
        count < room) {
        // data stays 0: FreeBSD gives the room in the send buffer, which
        // nothing here reads.
        struct kevent& event = out[count++];
        event = {};
        event.ident = static_cast<std::uintptr_t>(fd);
        event.filter = EVFILT_WRITE;
        event.udata = registration.write.udata;
        if ((ready & (EPOLLHUP | EPOLLERR)) != 0)
            event.flags |= EV_EOF;
    }
    return count;
}

}  // namespace

extern "C" int kqueue(void)
{
    const int kq = epoll_create1(EPOLL_CLOEXEC);
    if (kq >= 0)
        tables()[kq].clear();
    return kq;
}

extern "C" int kevent(int kq, const struct kevent* changelist, int nchanges,
                      struct kevent* eventlist, int nevents, const struct timespec* timeout)
{
    if (nchanges < 0 || nevents < 0) {
        errno = EINVAL;
        return -1;
    }
    const auto found = tables().find(kq);
    if (found == tables().end()) {
        errno = EBADF;
        return -1;
    }
    Table& table = found->second;
    // A failed change becomes an EV_ERROR event while there is room for it,
    // and the call then returns without waiting; otherwise it fails the call.
    int errors = 0;
    for (int i = 0; i < nchanges; ++i) {
        const int error = apply_change(kq, table, changelist[i]);
        if (error == 0)
            continue;
        if (errors == nevents) {
            errno = error;
            return -1;
        }
        struct kevent& failure = eventlist[errors++];
        failure = changelist[i];
        failure.flags = EV_ERROR;
        failure.data = error;
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
    int events = 0;
    for (int i = 0; i < count && events < nevents; ++i) {
        const auto registration = table.find(ready[i].data.fd);
        if (registration != table.end())
            events += report(registration->second, ready[i].data.fd, ready[i].events,
                             eventlist + events, nevents - events);
    }
    return events;
}
