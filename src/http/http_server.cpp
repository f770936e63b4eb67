#include "http/http_server.hpp"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <netdb.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/event.h>
#include <sys/resource.h>
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
#include <iterator>
#include <utility>

#include "common/diagnostic.hpp"
#include "http/connection.hpp"
#include "http/response.hpp"
#include "platform/idle_connections.hpp"

namespace {

// Connections the kernel holds back until they carry data count against the
// backlog, and peers that connect in bursts fill it at once: while it is full,
// Linux drops a scraper's SYN (sent again only a second later) and FreeBSD
// resets its connection. The kernel lowers this to its own ceiling (FreeBSD's
// kern.ipc.soacceptqueue, 128 by default; Linux's net.core.somaxconn, 4096).
constexpr int listen_backlog = 1024;

using Clock = std::chrono::steady_clock;
using Phase = Connection::Phase;

constexpr int event_batch = 64;
// At most this many connections are taken per wake-up, so that a flood of
// them still lets the loop see to the ones it has.
constexpr std::int64_t accept_batch = 64;
// Descriptors left to the readers (the statistics device, sysctl and netlink
// sockets, files under /proc and /sys) and to standard streams, the
// listener, the kqueue and the reserve.
constexpr rlim_t reserved_descriptors = 32;
constexpr std::size_t connection_cap = 4096;
// Heads being gathered share this much memory; a scraper's head is a few
// hundred bytes.
constexpr std::size_t head_bytes_budget = std::size_t{1} << 20;
// Answers that peers have not taken yet share this much; past it, new
// answers wait until one is taken or dropped (within the send limit).
constexpr std::size_t unsent_bytes_budget = std::size_t{4} << 20;

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

// As many connections as the descriptor limit leaves room for beside the
// descriptors the process needs for itself.
std::size_t connection_limit()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return connection_cap;
    if (limit.rlim_cur <= reserved_descriptors)
        return 1;
    return static_cast<std::size_t>(
        std::min<rlim_t>(limit.rlim_cur - reserved_descriptors, connection_cap));
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
    close_all();
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
    max_connections = connection_limit();

    kqueue_fd = kqueue();
    if (kqueue_fd < 0) {
        std::fputs("kqueue() failed\n", stderr);
        return false;
    }
    if (!watch(listen_fd, EVFILT_READ, true, nullptr)) {
        std::fputs("kevent register failed\n", stderr);
        return false;
    }
    listener_watched = true;

    signal(SIGINT, on_stop_signal);
    signal(SIGTERM, on_stop_signal);
    return true;
}

int HttpServer::run()
{
    struct kevent events[event_batch];
    while (stop_requested == 0) {
        const int milliseconds = wait_milliseconds(Clock::now());
        const struct timespec timeout {
            milliseconds / 1000, (milliseconds % 1000) * 1000000L
        };
        const int count = kevent(kqueue_fd, nullptr, 0, events, event_batch, &timeout);
        if (count < 0 && errno != EINTR) {
            std::fputs("kevent wait failed\n", stderr);
            return 1;
        }
        for (int i = 0; i < count; ++i) {
            if (events[i].udata == nullptr) {
                accept_connections(events[i].data);
                continue;
            }
            // A connection closed by an earlier event of the same wait is
            // still in `closed`, so its record can be looked at here.
            Connection& connection = *static_cast<Connection*>(events[i].udata);
            const bool writable = events[i].filter == EVFILT_WRITE;
            if (connection.phase == Phase::head && !writable)
                read_head(connection);
            else if (connection.phase == Phase::sending && writable)
                send_rest(connection);
            else if (connection.phase == Phase::reading_away && !writable)
                read_away_input(connection);
        }
        expire(Clock::now());
        answer_waiting();
        closed.clear();
    }
    close_all();
    return 0;
}

// As many as the kernel says are queued (FreeBSD counts them; where it gives
// no count, one), so that a scrape costs no accept() that finds nothing.
void HttpServer::accept_connections(std::int64_t queued)
{
    const std::int64_t batch = std::clamp<std::int64_t>(queued, 1, accept_batch);
    for (std::int64_t i = 0; i < batch; ++i) {
        if (open_connections() >= max_connections) {
            // The wake-up says that one peer waits; whether more do, the
            // next one will say.
            if (i > 0)
                return;
            if (!make_room()) {
                // Every connection is being answered: the listener rests
                // until one of them closes.
                listener_watched = !watch(listen_fd, EVFILT_READ, false, nullptr);
                return;
            }
        }
        const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                handle_accept_failure(errno);
            return;
        }
        Connection& connection = heads.emplace_back();
        connection.position = std::prev(heads.end());
        connection.fd = fd;
        connection.deadline = Clock::now() + request_head_time_limit;
        // A scraper's head is usually there by the time it is accepted.
        read_head(connection);
    }
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

void HttpServer::read_head(Connection& connection)
{
    const std::size_t before = connection.request.size();
    const HeadEnd end = receive_head(connection.fd, connection.request);
    head_bytes += connection.request.size() - before;
    if (end != HeadEnd::incomplete)
        answer(connection, end);
    else if (!connection.watched)
        watch_connection(connection, true);
    limit_head_bytes();
}

// The head has ended: the answer goes out now, or as soon as answers that
// peers have not taken leave room for it.
void HttpServer::answer(Connection& connection, HeadEnd head_end)
{
    if (connection.watched)
        watch_connection(connection, false);
    connection.head_end = head_end;
    if (unsent_bytes >= unsent_bytes_budget)
        move(connection, Phase::waiting_for_room);
    else
        respond(connection);
}

void HttpServer::respond(Connection& connection)
{
    head_bytes -= connection.request.size();
    const std::string_view response =
        answer_request(connection.request, render_callback, response_buffer);
    std::string().swap(connection.request);
    move(connection, Phase::sending);
    connection.deadline = Clock::now() + response_send_time_limit;
    switch (send_some(connection.fd, response, connection.sent)) {
    case SendEnd::complete: finish(connection); return;
    case SendEnd::failed: close_connection(connection); return;
    case SendEnd::incomplete: break;
    }
    // The rest waits for the peer in a copy of its own: the buffer is the
    // next answer's.
    connection.unsent.assign(response.substr(connection.sent));
    connection.sent = 0;
    unsent_bytes += connection.unsent.size();
    watch_connection(connection, true);
}

void HttpServer::send_rest(Connection& connection)
{
    switch (send_some(connection.fd, connection.unsent, connection.sent)) {
    case SendEnd::incomplete: return;
    case SendEnd::failed: close_connection(connection); return;
    case SendEnd::complete: break;
    }
    watch_connection(connection, false);
    unsent_bytes -= connection.unsent.size();
    std::string().swap(connection.unsent);
    finish(connection);
}

// Half-closes after the answer. Request bytes still unread are read away for
// a while first: closing on them would reset the connection and could wipe
// the answer before the peer has read it.
void HttpServer::finish(Connection& connection)
{
    const bool drain = input_may_remain(connection.fd, connection.head_end);
    shutdown(connection.fd, SHUT_WR);
    if (!drain) {
        close_connection(connection);
        return;
    }
    move(connection, Phase::reading_away);
    connection.deadline = Clock::now() + unread_input_drain_limit;
    read_away_input(connection);
}

void HttpServer::read_away_input(Connection& connection)
{
    if (!read_away(connection.fd))
        close_connection(connection);
    else if (!connection.watched)
        watch_connection(connection, true);
}

void HttpServer::close_connection(Connection& connection)
{
    if (connection.phase == Phase::closed)
        return;
    if (connection.watched)
        watch_connection(connection, false);
    close(connection.fd);
    connection.fd = -1;
    if (connection.phase == Phase::head || connection.phase == Phase::waiting_for_room)
        head_bytes -= connection.request.size();
    unsent_bytes -= connection.unsent.size();
    move(connection, Phase::closed);
    if (!listener_watched && open_connections() < max_connections)
        listener_watched = watch(listen_fd, EVFILT_READ, true, nullptr);
}

void HttpServer::close_all()
{
    for (ConnectionList* list : {&heads, &waiting_for_room, &sending, &reading_away})
        for (Connection& connection : *list)
            close(connection.fd);
    heads.clear();
    waiting_for_room.clear();
    sending.clear();
    reading_away.clear();
    closed.clear();
}

bool HttpServer::make_room()
{
    for (ConnectionList* list : {&heads, &waiting_for_room}) {
        if (!list->empty()) {
            close_connection(list->front());
            return true;
        }
    }
    return false;
}

// Past the budget, the head that has waited longest among those holding bytes
// goes first: a scraper's head is short and over at once.
void HttpServer::limit_head_bytes()
{
    for (ConnectionList* list : {&heads, &waiting_for_room}) {
        auto next = list->begin();
        while (head_bytes > head_bytes_budget && next != list->end()) {
            Connection& connection = *next++;
            if (!connection.request.empty())
                close_connection(connection);
        }
    }
}

void HttpServer::answer_waiting()
{
    while (!waiting_for_room.empty() && unsent_bytes < unsent_bytes_budget)
        respond(waiting_for_room.front());
}

// Each list is in deadline order, so only its front can have expired.
void HttpServer::expire(Clock::time_point now)
{
    // An unfinished head is answered as if the peer had closed.
    while (!heads.empty() && heads.front().deadline <= now)
        answer(heads.front(), HeadEnd::timed_out);
    // An answer not taken in time is dropped.
    while (!sending.empty() && sending.front().deadline <= now)
        close_connection(sending.front());
    while (!reading_away.empty() && reading_away.front().deadline <= now)
        close_connection(reading_away.front());
}

// Until the nearest deadline, and at most a second, so that a stop signal
// that arrives just before the wait is still seen soon.
int HttpServer::wait_milliseconds(Clock::time_point now) const
{
    Clock::time_point until = now + std::chrono::seconds(1);
    for (const ConnectionList* list : {&heads, &sending, &reading_away})
        if (!list->empty())
            until = std::min(until, list->front().deadline);
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return static_cast<int>(std::max<long long>(milliseconds, 0));
}

void HttpServer::move(Connection& connection, Phase phase)
{
    list_of(phase).splice(list_of(phase).end(), list_of(connection.phase), connection.position);
    connection.phase = phase;
}

ConnectionList& HttpServer::list_of(Phase phase)
{
    switch (phase) {
    case Phase::head: return heads;
    case Phase::waiting_for_room: return waiting_for_room;
    case Phase::sending: return sending;
    case Phase::reading_away: return reading_away;
    case Phase::closed: break;
    }
    return closed;
}

bool HttpServer::watch(int fd, short filter, bool on, void* udata)
{
    struct kevent change;
    EV_SET(&change, static_cast<std::uintptr_t>(fd), filter, on ? EV_ADD : EV_DELETE, 0, 0,
           udata);
    return kevent(kqueue_fd, &change, 1, nullptr, 0, nullptr) == 0;
}

// A connection is watched for one thing at a time: its answer being taken
// while it is sent, else its input.
void HttpServer::watch_connection(Connection& connection, bool on)
{
    const short filter = connection.phase == Phase::sending ? EVFILT_WRITE : EVFILT_READ;
    if (watch(connection.fd, filter, on, &connection)) {
        connection.watched = on;
    } else if (on) {
        // Nothing would ever say when this peer can go on.
        close_connection(connection);
    }
}

std::size_t HttpServer::open_connections() const
{
    return heads.size() + waiting_for_room.size() + sending.size() + reading_away.size();
}
