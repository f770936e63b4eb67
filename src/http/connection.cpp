#include "http/connection.hpp"

#include <errno.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>

namespace {

bool would_block(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool unread_bytes_pending(int fd)
{
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

}  // namespace

HeadEnd append_request_bytes(std::string& request, std::string_view bytes)
{
    const std::size_t search_from = request.size() - std::min<std::size_t>(request.size(), 3);
    request.append(bytes);
    if (request.find("\r\n\r\n", search_from) != std::string::npos)
        return HeadEnd::complete;
    if (request.size() > request_size_limit)
        return HeadEnd::too_long;
    return HeadEnd::incomplete;
}

HeadEnd receive_head(int client_fd, std::string& request)
{
    char buffer[receive_chunk_size];
    for (;;) {
        const ssize_t received = recv(client_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            return would_block(errno) ? HeadEnd::incomplete : HeadEnd::receive_failed;
        }
        if (received == 0)
            return HeadEnd::peer_closed;
        const HeadEnd end =
            append_request_bytes(request, {buffer, static_cast<std::size_t>(received)});
        if (end != HeadEnd::incomplete)
            return end;
    }
}

SendEnd send_some(int client_fd, std::string_view response, std::size_t& sent)
{
    while (sent < response.size()) {
        // MSG_NOSIGNAL: a peer that has gone must not end the process by SIGPIPE.
        const ssize_t count = send(client_fd, response.data() + sent, response.size() - sent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count >= 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (errno == EINTR)
            continue;
        return would_block(errno) ? SendEnd::incomplete : SendEnd::failed;
    }
    return SendEnd::complete;
}

bool input_may_remain(int client_fd, HeadEnd head_end)
{
    switch (head_end) {
    case HeadEnd::too_long: return true;
    case HeadEnd::complete:
    case HeadEnd::timed_out: return unread_bytes_pending(client_fd);
    case HeadEnd::incomplete:
    case HeadEnd::peer_closed:
    case HeadEnd::receive_failed: return false;
    }
    return false;
}

bool read_away(int client_fd)
{
    char buffer[receive_chunk_size];
    // A few reads at a time: a peer that sends without pause must not keep the
    // loop from the others; what is left makes the connection readable again.
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t received = recv(client_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received > 0 || (received < 0 && errno == EINTR))
            continue;
        return received < 0 && would_block(errno);
    }
    return true;
}
