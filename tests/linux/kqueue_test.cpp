// kqueue over epoll, as the server uses it: read and write filters on one
// socket, each with its own udata, deleted one at a time, and dropped with the
// socket when it is closed.
#include <errno.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <utility>

namespace {

using Ready = std::set<std::pair<short, void*>>;

bool change(int kq, int fd, short filter, unsigned short flags, void* udata)
{
    struct kevent event;
    EV_SET(&event, static_cast<std::uintptr_t>(fd), filter, flags, 0, 0, udata);
    return kevent(kq, &event, 1, nullptr, 0, nullptr) == 0;
}

// (filter, udata) of every event ready now.
Ready ready(int kq)
{
    struct kevent events[8];
    const struct timespec now {};
    const int count = kevent(kq, nullptr, 0, events, 8, &now);
    Ready found;
    for (int i = 0; i < count; ++i)
        found.emplace(events[i].filter, events[i].udata);
    return found;
}

TEST(Kqueue, FiltersKeepTheirOwnUdataAndDoNotOutliveTheirSocket)
{
    const int kq = kqueue();
    int fds[2];
    int reading = 0;
    int writing = 0;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_TRUE(change(kq, fds[0], EVFILT_WRITE, EV_ADD, &writing));
    ASSERT_TRUE(change(kq, fds[0], EVFILT_READ, EV_ADD, &reading));
    EXPECT_EQ(ready(kq), (Ready{{EVFILT_WRITE, &writing}}));
    ASSERT_EQ(write(fds[1], "GET", 3), 3);
    EXPECT_EQ(ready(kq), (Ready{{EVFILT_READ, &reading}, {EVFILT_WRITE, &writing}}));
    ASSERT_TRUE(change(kq, fds[0], EVFILT_WRITE, EV_DELETE, nullptr));
    EXPECT_EQ(ready(kq), (Ready{{EVFILT_READ, &reading}}));
    EXPECT_FALSE(change(kq, fds[0], EVFILT_WRITE, EV_DELETE, nullptr));
    EXPECT_EQ(errno, ENOENT);

    // Closed with both filters on: the next socket of that number starts bare.
    ASSERT_TRUE(change(kq, fds[0], EVFILT_WRITE, EV_ADD, &writing));
    const int number = fds[0];
    close(fds[0]);
    close(fds[1]);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(fds[0], number);
    int next = 0;
    ASSERT_TRUE(change(kq, fds[0], EVFILT_READ, EV_ADD, &next));
    ASSERT_EQ(write(fds[1], "G", 1), 1);
    EXPECT_EQ(ready(kq), (Ready{{EVFILT_READ, &next}}));
    close(fds[0]);
    close(fds[1]);
    close(kq);
}

}  // namespace
