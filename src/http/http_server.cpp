#include "http/http_server.hpp"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "http/connection.hpp"
#include "http/response.hpp"

namespace {

constexpr int listen_backlog = 16;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int)
{
    stop_requested = 1;
}

// The first resolver entry that binds becomes the one listening socket.
int bind_first(const struct addrinfo* entries)
{
    for (const struct addrinfo* entry = entries; entry != nullptr; entry = entry->ai_next) {
        const int fd = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (fd < 0)
            continue;
        const int reuse = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        if (bind(fd, entry->ai_addr, entry->ai_addrlen) == 0)
            return fd;
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
}

bool HttpServer::start()
{
    const auto colon = listen_address.rfind(':');
    if (colon == std::string::npos) {
        fmt::print(stderr, "invalid listen address '{}', expected ADDR:PORT\n", listen_address);
        return false;
    }
    const std::string host = listen_address.substr(0, colon);
    const std::string port = listen_address.substr(colon + 1);

    struct addrinfo hints {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* entries = nullptr;
    const int status =
        getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &entries);
    if (status != 0) {
        fmt::print(stderr, "getaddrinfo({}): {}\n", listen_address, gai_strerror(status));
        return false;
    }
    const int fd = bind_first(entries);
    freeaddrinfo(entries);
    if (fd < 0) {
        fmt::print(stderr, "cannot bind to {}\n", listen_address);
        return false;
    }
    // A connection aborted between the readiness report and accept() would
    // otherwise leave accept() blocked until the next client, deaf to stop
    // signals.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (listen(fd, listen_backlog) != 0) {
        fmt::print(stderr, "listen failed on {}\n", listen_address);
        close(fd);
        return false;
    }
    listen_fd = fd;

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
        if (client_fd < 0)
            continue;
        serve_connection(client_fd);
        close(client_fd);
    }
    return 0;
}

void HttpServer::serve_connection(int client_fd)
{
    std::string request;
    const HeadEnd head_end = read_request_head(client_fd, request);
    send_response(client_fd, answer_request(request, render_callback, response_buffer));
    finish_connection(client_fd, head_end);
}
