#include <errno.h>
#include <sys/event.h>

// Placeholder until kqueue is built over epoll.
extern "C" int kqueue(void)
{
    errno = ENOSYS;
    return -1;
}
extern "C" int kevent(int, const struct kevent*, int, struct kevent*, int, const struct timespec*)
{
    errno = ENOSYS;
    return -1;
}
