// Linux: TCP_DEFER_ACCEPT keeps a connection in the kernel until its first
// data (or the peer's FIN) arrives. After the given time the kernel stops
// waiting and passes an idle connection on all the same, where the request
// head time limit deals with it; by then most scanners and health checks have
// long gone.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdio>

#include "platform/idle_connections.hpp"

bool hold_back_idle_connections(int listen_fd)
{
    const int seconds = 30;
    if (setsockopt(listen_fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0)
        return true;
    std::fputs("cannot defer accepting connections until they carry data: connections that "
               "send nothing will delay scrapes\n",
               stderr);
    return false;
}
