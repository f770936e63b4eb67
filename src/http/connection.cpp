#include "http/connection.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

enum class Readiness { ready, timed_out, failed };

// poll() rather than SO_RCVTIMEO: the limits are deadlines for the whole head
// or response, and poll() is never restarted after a signal handler.
Readiness wait_until_ready(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto remaining =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0)
            return Readiness::timed_out;
        struct pollfd watched {};
        watched.fd = fd;
        watched.events = events;
        const int count =
            poll(&watched, 1, static_cast<int>(std::min<long long>(remaining, 60000)));
        if (count > 0)
            return Readiness::ready;
        if (count < 0 && errno != EINTR)
            return Readiness::failed;
    }
}

bool is_transient(int error)
{
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

bool unread_bytes_pending(int fd)
{
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool input_may_remain(int fd, HeadEnd head_end)
{
    switch (head_end) {
    case HeadEnd::too_long: return true;
    case HeadEnd::complete:
    case HeadEnd::timed_out: return unread_bytes_pending(fd);
    case HeadEnd::peer_closed:
    case HeadEnd::receive_failed: return false;
    }
    return false;
}

}  // namespace

HeadEnd read_request_head(int client_fd, std::string& request)
{
    const auto deadline = Clock::now() + request_head_time_limit;
    char buffer[receive_chunk_size];
    for (;;) {
        // A scraper's head is usually there by the time it is accepted: wait
        // only when there is nothing to read yet.
        const ssize_t received = recv(client_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
            if (!is_transient(errno))
                return HeadEnd::receive_failed;
            const Readiness readiness = wait_until_ready(client_fd, POLLIN, deadline);
            if (readiness == Readiness::timed_out)
                return HeadEnd::timed_out;
            if (readiness == Readiness::failed)
                return HeadEnd::receive_failed;
            continue;
        }
        if (received == 0)
            return HeadEnd::peer_closed;
        request.append(buffer, static_cast<std::size_t>(received));
        if (request.find("\r\n\r\n") != std::string::npos)
            return HeadEnd::complete;
        if (request.size() > request_size_limit)
            return HeadEnd::too_long;
        if (Clock::now() >= deadline)
            return HeadEnd::timed_out;
    }
}

void send_response(int client_fd, std::string_view response)
{
    const auto deadline = Clock::now() + response_send_time_limit;
    std::size_t sent = 0;
    while (sent < response.size()) {
        // MSG_NOSIGNAL: a peer that has gone must not end the process by SIGPIPE.
        const ssize_t count = send(client_fd, response.data() + sent, response.size() - sent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count >= 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (!is_transient(errno) ||
            wait_until_ready(client_fd, POLLOUT, deadline) != Readiness::ready)
            return;
    }
}

void finish_connection(int client_fd, HeadEnd head_end)
{
    const bool drain = input_may_remain(client_fd, head_end);
    shutdown(client_fd, SHUT_WR);
    if (!drain)
        return;
    const auto deadline = Clock::now() + unread_input_drain_limit;
    char buffer[receive_chunk_size];
    while (wait_until_ready(client_fd, POLLIN, deadline) == Readiness::ready) {
        const ssize_t received = recv(client_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received == 0 || (received < 0 && !is_transient(errno)))
            return;
    }
}
