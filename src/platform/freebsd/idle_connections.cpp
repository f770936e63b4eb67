// FreeBSD: an accept filter keeps connections in the kernel until a request
// head (accf_http's "httpready") or at least some data (accf_data's
// "dataready") has arrived. The filters are kernel modules; one that is not
// loaded makes the option fail with ENOENT.

#include <sys/types.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "platform/idle_connections.hpp"

bool hold_back_idle_connections(int listen_fd)
{
    static const char* const filters[] = {"httpready", "dataready"};
    for (const char* filter : filters) {
        struct accept_filter_arg argument;
        std::memset(&argument, 0, sizeof argument);
        std::strncpy(argument.af_name, filter, sizeof argument.af_name - 1);
        if (setsockopt(listen_fd, SOL_SOCKET, SO_ACCEPTFILTER, &argument, sizeof argument) == 0)
            return true;
    }
    std::fputs("no accept filter (accf_http or accf_data) is loaded: connections that send "
               "nothing will delay scrapes\n",
               stderr);
    return false;
}
