#pragma once

#include <string>

#include "http/render_callback.hpp"

// The serve mode's single-threaded HTTP front end: one listening socket
// watched by a kqueue, one connection served at a time.
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
    // Reads one request, answers it and winds the connection down; the caller
    // closes the descriptor.
    void serve_connection(int client_fd);
    // Keeps the loop from spinning on a connection that accept() cannot take.
    void handle_accept_failure(int error);

    std::string listen_address;
    RenderCallback render_callback;
    // Every response is framed here, and its capacity kept, so that a large
    // exposition neither regrows nor lands on fresh pages at every scrape.
    std::string response_buffer;
    int listen_fd = -1;
    int kqueue_fd = -1;
    int reserve_fd = -1;  // spent and taken back when descriptors run out
};
