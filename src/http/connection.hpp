#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// One connection is served at a time, so every wait on a peer is bounded:
// a silent, trickling or non-reading peer delays the next scrape by at most
// these limits.
inline constexpr std::chrono::milliseconds request_head_time_limit{2000};
inline constexpr std::chrono::milliseconds response_send_time_limit{2000};
inline constexpr std::chrono::milliseconds unread_input_drain_limit{1000};

inline constexpr std::size_t receive_chunk_size = 4096;
inline constexpr std::size_t request_size_limit = 65536;

enum class HeadEnd { complete, peer_closed, receive_failed, too_long, timed_out };

// Appends received bytes to `request` until it holds "\r\n\r\n", exceeds the
// size limit, the peer stops sending, or the head time limit has passed.
HeadEnd read_request_head(int client_fd, std::string& request);

// Sends as much of the response as the peer takes within the send time limit;
// a failure or an expired limit drops the rest silently.
void send_response(int client_fd, std::string_view response);

// Half-closes the connection and, when request bytes may still be unread,
// reads them away for a short while so that closing does not reset the
// connection and discard the response before the peer has read it.
void finish_connection(int client_fd, HeadEnd head_end);
