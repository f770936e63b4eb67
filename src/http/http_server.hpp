#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "http/connection.hpp"
#include "http/render_callback.hpp"

struct Connection;
using ConnectionList = std::list<Connection>;

// One accepted connection, from its head to its close. It sits in the list of
// its phase, in the order it entered it, so each list is also ordered by
// deadline and the front holds the one that has waited longest.
struct Connection {
    enum class Phase { head, waiting_for_room, sending, reading_away, closed };

    int fd = -1;
    Phase phase = Phase::head;
    std::chrono::steady_clock::time_point deadline;
    HeadEnd head_end = HeadEnd::incomplete;
    std::string request;
    std::string unsent;  // the rest of an answer the peer did not take at once
    std::size_t sent = 0;
    bool watched = false;  // for reading in the head and read-away phases, else for writing
    ConnectionList::iterator position;
};

// The serve mode's single-threaded HTTP front end: the listening socket and
// every connection non-blocking and watched by one kqueue, so that no peer can
// hold the others up.
class HttpServer {
public:
    HttpServer(std::string listen_address, RenderCallback render_callback);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds, listens and installs the stop handlers; on false a one-line
    // diagnostic is already on standard error.
    bool start();
    // Serves until SIGINT or SIGTERM (0) or until waiting for events fails (1).
    int run();

private:
    void accept_connections(std::int64_t queued);
    // Keeps the loop from spinning on a connection that accept() cannot take.
    void handle_accept_failure(int error);
    void read_head(Connection& connection);
    void answer(Connection& connection, HeadEnd head_end);
    void respond(Connection& connection);
    void send_rest(Connection& connection);
    void finish(Connection& connection);
    void read_away_input(Connection& connection);
    void close_connection(Connection& connection);
    void close_all();
    // Closes the connection that has waited longest without being answered;
    // false when every connection is being answered.
    bool make_room();
    void limit_head_bytes();
    void answer_waiting();
    void expire(std::chrono::steady_clock::time_point now);
    int wait_milliseconds(std::chrono::steady_clock::time_point now) const;
    void move(Connection& connection, Connection::Phase phase);
    ConnectionList& list_of(Connection::Phase phase);
    bool watch(int fd, short filter, bool on, void* udata);
    void watch_connection(Connection& connection, bool on);
    std::size_t open_connections() const;

    std::string listen_address;
    RenderCallback render_callback;
    // Every response is framed here, and its capacity kept, so that a large
    // exposition neither regrows nor lands on fresh pages at every scrape.
    std::string response_buffer;
    int listen_fd = -1;
    int kqueue_fd = -1;
    int reserve_fd = -1;  // spent and taken back when descriptors run out
    bool listener_watched = false;

    std::size_t max_connections = 0;
    std::size_t head_bytes = 0;    // held by heads being gathered
    std::size_t unsent_bytes = 0;  // held by answers not yet taken
    ConnectionList heads;
    ConnectionList waiting_for_room;
    ConnectionList sending;
    ConnectionList reading_away;
    ConnectionList closed;  // freed once the events of the current wait are handled
};
