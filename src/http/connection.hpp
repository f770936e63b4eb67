#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// Every connection is non-blocking and watched by the event loop, so a peer
// costs time only while it has bytes to give or room to take; these limits
// bound how long it may keep its descriptor and memory.
inline constexpr std::chrono::milliseconds request_head_time_limit{2000};
inline constexpr std::chrono::milliseconds response_send_time_limit{2000};
inline constexpr std::chrono::milliseconds unread_input_drain_limit{1000};

inline constexpr std::size_t receive_chunk_size = 4096;
inline constexpr std::size_t request_size_limit = 65536;

// Where reading a request head stopped; `incomplete` while the peer may still
// send more of it.
enum class HeadEnd { incomplete, complete, peer_closed, receive_failed, too_long, timed_out };

// Appends bytes that arrived to the head gathered so far: `complete` once it
// holds "\r\n\r\n", `too_long` once it exceeds the size limit, else
// `incomplete`. Only the bytes that are new, and the three before them, are
// searched, so a head that trickles in byte by byte costs no more than one
// that arrives whole.
HeadEnd append_request_bytes(std::string& request, std::string_view bytes);

// Reads what the peer has sent into `request` without waiting: `incomplete`
// when nothing more is there yet.
HeadEnd receive_head(int client_fd, std::string& request);

enum class SendEnd { incomplete, complete, failed };

// Sends from `response`, starting `sent` bytes in, as much as the peer takes
// now; `sent` moves on by what went out.
SendEnd send_some(int client_fd, std::string_view response, std::size_t& sent);

// Whether request bytes may still be unread once the head has ended so: if
// so, closing at once would reset the connection and could wipe the answer
// before the peer has read it.
bool input_may_remain(int client_fd, HeadEnd head_end);

// Reads away whatever input is there; false once the peer has closed or the
// connection failed, when nothing is left to wait for.
bool read_away(int client_fd);
