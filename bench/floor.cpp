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

#include "floor_reads.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "read") == 0)
        return read_sources(std::atol(argv[2]), argv + 3, argc - 3);
    if (argc == 4 && std::strcmp(argv[1], "serve") == 0)
        return serve(std::atoi(argv[2]), std::atol(argv[3]));
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "scrape") == 0)
        return scrape(std::atoi(argv[2]), std::atol(argv[3]), argc == 5 ? argv[4] : nullptr);
    std::fputs("usage: floor read ITERATIONS SOURCE... | floor serve PORT BODY_BYTES | "
               "floor scrape PORT COUNT [DIR]\n",
               stderr);
    return 2;
}
