#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/event.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Kqueue : ::testing::Test {
    int kq = -1;
    int pipe_fds[2] = {-1, -1};
    void SetUp() override
    {
        kq = kqueue();
        ASSERT_GE(kq, 0);
        ASSERT_EQ(pipe(pipe_fds), 0);
    }
    void TearDown() override
    {
        close(kq);
        close(pipe_fds[0]);
        if (pipe_fds[1] >= 0)
            close(pipe_fds[1]);
    }
    int add_read(int fd)
    {
        struct kevent change;
        EV_SET(&change, static_cast<std::uintptr_t>(fd), EVFILT_READ, EV_ADD, 0, 0, nullptr);
        return kevent(kq, &change, 1, nullptr, 0, nullptr);
    }
    int wait(struct kevent& event, long milliseconds)
    {
        const struct timespec timeout {
            milliseconds / 1000, milliseconds % 1000 * 1000000
        };
        return kevent(kq, nullptr, 0, &event, 1, &timeout);
    }
};

TEST_F(Kqueue, AReadFilterIsLevelTriggeredAndReportsTheBytesWaiting)
{
    ASSERT_EQ(add_read(pipe_fds[0]), 0);
    struct kevent event {};
    const auto started = Clock::now();
    EXPECT_EQ(wait(event, 200), 0);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(200));

    ASSERT_EQ(write(pipe_fds[1], "abc", 3), 3);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(wait(event, 1000), 1);
        EXPECT_EQ(event.ident, static_cast<std::uintptr_t>(pipe_fds[0]));
        EXPECT_EQ(event.filter, EVFILT_READ);
        EXPECT_EQ(event.flags & EV_EOF, 0);
        EXPECT_EQ(event.data, 3);
    }
    close(pipe_fds[1]);
    pipe_fds[1] = -1;
    ASSERT_EQ(wait(event, 1000), 1);
    EXPECT_NE(event.flags & EV_EOF, 0);
}

TEST_F(Kqueue, AFailedChangeIsAnErrorEventWhenThereIsRoomAndAFailedCallOtherwise)
{
    struct kevent change;
    EV_SET(&change, 999999u, EVFILT_READ, EV_ADD, 0, 0, nullptr);
    errno = 0;
    EXPECT_EQ(kevent(kq, &change, 1, nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, EBADF);

    struct kevent event {};
    const struct timespec timeout {
        5, 0
    };
    const auto started = Clock::now();
    ASSERT_EQ(kevent(kq, &change, 1, &event, 1, &timeout), 1);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(event.ident, 999999u);
    EXPECT_EQ(event.flags, EV_ERROR);
    EXPECT_EQ(event.data, EBADF);

    ASSERT_EQ(add_read(pipe_fds[0]), 0);
    EXPECT_EQ(add_read(pipe_fds[0]), 0);  // adding again modifies
    EV_SET(&change, static_cast<std::uintptr_t>(pipe_fds[0]), EVFILT_READ, EV_DELETE, 0, 0,
           nullptr);
    EXPECT_EQ(kevent(kq, &change, 1, nullptr, 0, nullptr), 0);
    errno = 0;
    EXPECT_EQ(kevent(kq, &change, 1, nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, ENOENT);
}

void ignore_signal(int) {}

TEST_F(Kqueue, ACaughtSignalEndsTheWaitWithEintrEvenUnderSaRestart)
{
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    action.sa_flags = SA_RESTART;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    ASSERT_EQ(add_read(pipe_fds[0]), 0);

    const pthread_t waiter = pthread_self();
    std::thread signaller([waiter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(waiter, SIGUSR1);
    });
    struct kevent event {};
    errno = 0;
    const int result = wait(event, 5000);
    const int error = errno;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EINTR);
}

}  // namespace
