// The floor our scrape is measured against: the bare cost of reading the same
// kernel files, and of a minimal server answering a fixed body.
//
//   floor read ITERATIONS SOURCE... the bare reads of one scrape, ITERATIONS times;
//                                   prints the mean nanoseconds per pass, elapsed
//                                   and on the CPU (the kernel's part included).
//                                   What a source is belongs to the platform:
//                                   floor_reads_*.cpp
//   floor serve PORT BODY_BYTES     answer every connection on 127.0.0.1:PORT with
//                                   a fixed 200 response until SIGTERM
//   floor scrape PORT COUNT [DIR]   COUNT sequential GETs of /metrics, a new connection
//                                   each, as a scraper makes them; prints each latency
//                                   in nanoseconds and then the last response's size.
//                                   With DIR, each response is kept whole in DIR/N
//                                   (N from 0), for a soak to check; an answer that
//                                   stalls for 30 s is cut there and kept as it is
//   floor peers PORT COUNT KIND,...  holds COUNT hostile peers of the KINDs in turn
//                                   until SIGTERM: silent, stalled (one byte),
//                                   trickle (a head byte every half second),
//                                   never_reads (a scrape whose answer it never
//                                   reads), oversize (a head of 70,000 bytes),
//                                   reset (three bytes, then a reset); each starts
//                                   over after 3 seconds, a reset after 0.1

#include "floor_reads.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

volatile sig_atomic_t stopping = 0;

void on_stop(int)
{
    stopping = 1;
}

double now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double cpu_ns()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

int read_sources(long iterations, char** sources, int count)
{
    long bytes = 0;
    const double start = now_ns();
    const double cpu_start = cpu_ns();
    for (long i = 0; i < iterations; ++i)
        bytes += read_sources_once(sources, count);
    const double elapsed = now_ns() - start;
    const double on_cpu = cpu_ns() - cpu_start;
    std::printf("%.0f %.0f\n", elapsed / static_cast<double>(iterations),
                on_cpu / static_cast<double>(iterations));
    return bytes > 0 ? 0 : 1;
}

int serve(int port, long body_bytes)
{
    // Without SA_RESTART, so that a stop signal ends a blocked accept().
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    const std::string body(static_cast<size_t>(body_bytes), 'x');
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                                 body;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        std::perror("floor serve");
        return 1;
    }
    char request[4096];
    while (!stopping) {
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        std::string head;
        ssize_t got;
        while (head.find("\r\n\r\n") == std::string::npos &&
               (got = recv(client, request, sizeof request, 0)) > 0)
            head.append(request, static_cast<size_t>(got));
        size_t sent = 0;
        while (sent < response.size()) {
            const ssize_t n =
                send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        close(client);
    }
    close(listener);
    return 0;
}

int scrape(int port, long count, const char* keep)
{
    static const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "User-Agent: kelmar-bench\r\nAccept: */*\r\n"
                                  "Connection: close\r\n\r\n";
    static char buffer[1 << 16];
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long size = 0;
    for (long i = 0; i < count; ++i) {
        const double start = now_ns();
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("floor scrape");
            return 1;
        }
        const timeval stall{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall);
        send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        FILE* kept = nullptr;
        if (keep != nullptr) {
            const std::string path = std::string(keep) + "/" + std::to_string(i);
            if ((kept = std::fopen(path.c_str(), "w")) == nullptr) {
                std::perror(path.c_str());
                return 1;
            }
        }
        size = 0;
        ssize_t got;
        while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
            size += got;
            if (kept != nullptr)
                std::fwrite(buffer, 1, static_cast<size_t>(got), kept);
        }
        close(fd);
        if (kept != nullptr)
            std::fclose(kept);
        std::printf("%.0f\n", now_ns() - start);
    }
    std::printf("%ld\n", size);
    return 0;
}

struct Peer {
    int kind = 0;
    int fd = -1;
    double since = 0;
    size_t sent = 0;
};

constexpr const char* peer_kinds[] = {"silent",      "stalled",  "trickle",
                                      "never_reads", "oversize", "reset"};
constexpr std::string_view peer_scrape = "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n";

void start_over(Peer& peer, const sockaddr_in& address, double now)
{
    if (peer.fd >= 0) {
        if (std::strcmp(peer_kinds[peer.kind], "reset") == 0) {
            const linger reset{1, 0};
            setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(peer.fd);
    }
    peer.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (peer.fd < 0)
        return;
    if (std::strcmp(peer_kinds[peer.kind], "never_reads") == 0) {
        const int small = 4096;
        setsockopt(peer.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    fcntl(peer.fd, F_SETFL, fcntl(peer.fd, F_GETFL) | O_NONBLOCK);
    connect(peer.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    peer.since = now;
    peer.sent = 0;
}

int hold_peers(int port, long count, const char* kind_list)
{
    std::vector<int> kinds;
    for (int k = 0; k < 6; ++k)
        if (std::strstr(kind_list, peer_kinds[k]) != nullptr)
            kinds.push_back(k);
    if (kinds.empty()) {
        std::fprintf(stderr, "floor peers: no known kind in %s\n", kind_list);
        return 2;
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string oversize = "GET /metrics HTTP/1.1\r\nX: " + std::string(70000, 'a');
    std::vector<Peer> peers(static_cast<size_t>(count));
    for (size_t i = 0; i < peers.size(); ++i)
        peers[i].kind = kinds[i % kinds.size()];
    while (!stopping) {
        const double now = now_ns();
        for (Peer& peer : peers) {
            const std::string_view kind = peer_kinds[peer.kind];
            if (peer.fd < 0 || now - peer.since > (kind == "reset" ? 0.1e9 : 3e9)) {
                start_over(peer, address, now);
                continue;
            }
            std::string_view data;
            if (kind == "stalled")
                data = "G";
            else if (kind == "reset")
                data = "GET";
            else if (kind == "never_reads")
                data = peer_scrape;
            else if (kind == "oversize")
                data = oversize;
            else if (kind == "trickle")
                data = peer_scrape.substr(0, 1 + static_cast<size_t>((now - peer.since) / 0.5e9));
            if (peer.sent >= data.size())
                continue;
            const ssize_t n =
                send(peer.fd, data.data() + peer.sent, data.size() - peer.sent, MSG_NOSIGNAL);
            if (n > 0)
                peer.sent += static_cast<size_t>(n);
        }
        const timespec pause{0, 10000000};
        nanosleep(&pause, nullptr);
    }
    for (const Peer& peer : peers)
        if (peer.fd >= 0)
            close(peer.fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "read") == 0)
        return read_sources(std::atol(argv[2]), argv + 3, argc - 3);
    if (argc == 4 && std::strcmp(argv[1], "serve") == 0)
        return serve(std::atoi(argv[2]), std::atol(argv[3]));
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "scrape") == 0)
        return scrape(std::atoi(argv[2]), std::atol(argv[3]), argc == 5 ? argv[4] : nullptr);
    if (argc == 5 && std::strcmp(argv[1], "peers") == 0)
        return hold_peers(std::atoi(argv[2]), std::atol(argv[3]), argv[4]);
    std::fputs("usage: floor read ITERATIONS SOURCE... | floor serve PORT BODY_BYTES | "
               "floor scrape PORT COUNT [DIR] | floor peers PORT COUNT KIND,...\n",
               stderr);
    return 2;
}
