#include "http/http_server.hpp"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <netdb.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "common/diagnostic.hpp"
#include "http/connection.hpp"
#include "http/response.hpp"
#include "platform/idle_connections.hpp"

namespace {

// Connections the kernel holds back until they carry data count against the
// backlog; past it, a Linux listener answers with SYN cookies, whose
// connections skip the hold-back. 128 is FreeBSD's default ceiling
// (kern.ipc.soacceptqueue).
constexpr int listen_backlog = 128;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int)
{
    stop_requested = 1;
}

// Splits ADDR:PORT at its last colon. The port is a decimal number from 1 to
// 65535 or a service name: the resolver would wrap larger numbers, pick any
// free port for an empty or zero one, and read "+80" or "-1" as numbers. A
// host in square brackets ("[::1]", as URLs write IPv6 addresses) is resolved
// without them; an empty host means every address.
bool split_listen_address(const std::string& address, std::string& host, std::string& port)
{
    const auto colon = address.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.starts_with('[')) {
        if (host.size() < 3 || !host.ends_with(']'))
            return false;
        host = host.substr(1, host.size() - 2);
    }
    if (host.find_first_of("[]") != std::string::npos || port.empty())
        return false;
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto is_letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (std::all_of(port.begin(), port.end(), is_digit)) {
        unsigned long number = 0;
        for (const char digit : port) {
            number = number * 10 + static_cast<unsigned long>(digit - '0');
            if (number > 65535)
                return false;
        }
        return number > 0;
    }
    return std::any_of(port.begin(), port.end(), is_letter) &&
           std::all_of(port.begin(), port.end(), [&](char c) {
               return is_letter(c) || is_digit(c) || c == '-' || c == '_' || c == '.' || c == '/';
           });
}

// One line on standard error for a failed accept, at most every few seconds:
// descriptors can run short for minutes, with a failure for every connection.
void report_accept_failure(int error)
{
    static std::chrono::steady_clock::time_point last_report;
    static bool reported = false;
    const auto now = std::chrono::steady_clock::now();
    if (reported && now - last_report < std::chrono::seconds(5))
        return;
    reported = true;
    last_report = now;
    diagnose("cannot accept connections: {}\n", std::strerror(error));
}

bool is_resource_shortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// A descriptor held in reserve, so that a connection can still be accepted and
// closed when every other descriptor is taken.
int open_reserve()
{
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// The first resolver entry that binds becomes the one listening socket; when
// none does, `error` holds why the last one did not.
int bind_first(const struct addrinfo* entries, int& error)
{
    error = EADDRNOTAVAIL;
    for (const struct addrinfo* entry = entries; entry != nullptr; entry = entry->ai_next) {
        const int fd = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        const int reuse = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        if (bind(fd, entry->ai_addr, entry->ai_addrlen) == 0)
            return fd;
        error = errno;
        close(fd);
    }
    return -1;
}

}  // namespace

HttpServer::HttpServer(std::string listen_address, RenderCallback render_callback)
    : listen_address(std::move(listen_address)), render_callback(std::move(render_callback))
{
}

HttpServer::~HttpServer()
{
    if (listen_fd >= 0)
        close(listen_fd);
    if (kqueue_fd >= 0)
        close(kqueue_fd);
    if (reserve_fd >= 0)
        close(reserve_fd);
}

bool HttpServer::start()
{
    std::string host;
    std::string port;
    if (!split_listen_address(listen_address, host, port)) {
        diagnose("invalid listen address '{}', expected ADDR:PORT\n", listen_address);
        return false;
    }

    struct addrinfo hints {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* entries = nullptr;
    const int status =
        getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &entries);
    if (status != 0) {
        diagnose("getaddrinfo({}): {}\n", listen_address, gai_strerror(status));
        return false;
    }
    int error = 0;
    const int fd = bind_first(entries, error);
    freeaddrinfo(entries);
    if (fd < 0) {
        diagnose("cannot bind to {}: {}\n", listen_address, std::strerror(error));
        return false;
    }
    // A connection aborted between the readiness report and accept() would
    // otherwise leave accept() blocked until the next client, deaf to stop
    // signals.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (listen(fd, listen_backlog) != 0) {
        diagnose("listen failed on {}\n", listen_address);
        close(fd);
        return false;
    }
    listen_fd = fd;
    hold_back_idle_connections(listen_fd);
    reserve_fd = open_reserve();

    kqueue_fd = kqueue();
    if (kqueue_fd < 0) {
        std::fputs("kqueue() failed\n", stderr);
        return false;
    }
    struct kevent change;
    EV_SET(&change, static_cast<std::uintptr_t>(listen_fd), EVFILT_READ, EV_ADD, 0, 0, nullptr);
    if (kevent(kqueue_fd, &change, 1, nullptr, 0, nullptr) != 0) {
        std::fputs("kevent register failed\n", stderr);
        return false;
    }

    signal(SIGINT, on_stop_signal);
    signal(SIGTERM, on_stop_signal);
    return true;
}

int HttpServer::run()
{
    while (stop_requested == 0) {
        struct kevent event {};
        const struct timespec timeout {
            1, 0
        };
        const int count = kevent(kqueue_fd, nullptr, 0, &event, 1, &timeout);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            std::fputs("kevent wait failed\n", stderr);
            return 1;
        }
        if (count == 0 || event.ident != static_cast<std::uintptr_t>(listen_fd))
            continue;
        const int client_fd = accept(listen_fd, nullptr, nullptr);
        if (client_fd < 0) {
            handle_accept_failure(errno);
            continue;
        }
        serve_connection(client_fd);
        close(client_fd);
    }
    return 0;
}

// The listening socket stays readable while a connection waits that cannot be
// accepted, so each failure must either take that connection off the queue or
// wait before trying again: otherwise the loop spins.
void HttpServer::handle_accept_failure(int error)
{
    // Anything else concerns one connection (aborted by the peer, a network
    // error passed on) or none at all, and the queue has moved on by itself.
    if (!is_resource_shortage(error))
        return;
    report_accept_failure(error);
    if ((error == EMFILE || error == ENFILE) && reserve_fd >= 0) {
        // Out of descriptors: spend the reserve to close the waiting peer at
        // once rather than leave it hanging, then take the reserve back.
        close(reserve_fd);
        const int client_fd = accept(listen_fd, nullptr, nullptr);
        if (client_fd >= 0)
            close(client_fd);
        reserve_fd = open_reserve();
        if (client_fd >= 0)
            return;
    }
    // No way to take the connection now: try again a little later.
    const struct timespec pause {
        0, 100000000
    };
    nanosleep(&pause, nullptr);
}

void HttpServer::serve_connection(int client_fd)
{
    std::string request;
    const HeadEnd head_end = read_request_head(client_fd, request);
    send_response(client_fd, answer_request(request, render_callback, response_buffer));
    finish_connection(client_fd, head_end);
}
