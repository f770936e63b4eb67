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

struct Pair {
    int fd[2] = {-1, -1};
    Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
    ~Pair()
    {
        close(fd[0]);
        close(fd[1]);
    }
};

bool change(int kq, int fd, short filter, unsigned short flags, void* udata)
{
    struct kevent event;
    EV_SET(&event, static_cast<std::uintptr_t>(fd), filter, flags, 0, 0, udata);
    return kevent(kq, &event, 1, nullptr, 0, nullptr) == 0;
}

// (filter, udata) of every event ready now.
std::set<std::pair<short, void*>> ready(int kq)
{
    struct kevent events[8];
    const struct timespec now {};
    const int count = kevent(kq, nullptr, 0, events, 8, &now);
    std::set<std::pair<short, void*>> found;
    for (int i = 0; i < count; ++i)
        found.emplace(events[i].filter, events[i].udata);
    return found;
}

TEST(Kqueue, ReadAndWriteFiltersOnOneSocketKeepTheirOwnUdata)
{
    const int kq = kqueue();
    Pair pair;
    int reading = 0;
    int writing = 0;
    ASSERT_TRUE(change(kq, pair.fd[0], EVFILT_WRITE, EV_ADD, &writing));
    ASSERT_TRUE(change(kq, pair.fd[0], EVFILT_READ, EV_ADD, &reading));
    EXPECT_EQ(ready(kq), (std::set<std::pair<short, void*>>{{EVFILT_WRITE, &writing}}));
    ASSERT_EQ(write(pair.fd[1], "GET", 3), 3);
    EXPECT_EQ(ready(kq), (std::set<std::pair<short, void*>>{{EVFILT_READ, &reading},
                                                            {EVFILT_WRITE, &writing}}));
    ASSERT_TRUE(change(kq, pair.fd[0], EVFILT_WRITE, EV_DELETE, nullptr));
    EXPECT_EQ(ready(kq), (std::set<std::pair<short, void*>>{{EVFILT_READ, &reading}}));
    EXPECT_FALSE(change(kq, pair.fd[0], EVFILT_WRITE, EV_DELETE, nullptr));
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(change(kq, pair.fd[0], EVFILT_READ, EV_DELETE, nullptr));
    EXPECT_TRUE(ready(kq).empty());
    close(kq);
}

TEST(Kqueue, FiltersOfAClosedSocketDoNotPassToTheNextOneOfItsNumber)
{
    const int kq = kqueue();
    int old_reading = 0;
    int old_writing = 0;
    int number = -1;
    {
        Pair pair;
        number = pair.fd[0];
        ASSERT_TRUE(change(kq, number, EVFILT_READ, EV_ADD, &old_reading));
        ASSERT_TRUE(change(kq, number, EVFILT_WRITE, EV_ADD, &old_writing));
    }
    Pair pair;
    ASSERT_EQ(pair.fd[0], number);
    int reading = 0;
    ASSERT_TRUE(change(kq, pair.fd[0], EVFILT_READ, EV_ADD, &reading));
    ASSERT_EQ(write(pair.fd[1], "G", 1), 1);
    EXPECT_EQ(ready(kq), (std::set<std::pair<short, void*>>{{EVFILT_READ, &reading}}));
    close(kq);
}

}  // namespace
