// Any bytes as a request: a response with one of the three statuses, its three
// headers and a Content-Length equal to the body that follows. The same bytes
// arriving one at a time end the head where they end it arriving in receive-
// sized pieces, and get the same answer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/connection.hpp"
#include "http/response.hpp"

namespace {

// The head as the server gathers it from pieces of `piece` bytes.
std::string gather(std::string_view bytes, std::size_t piece, HeadEnd& end)
{
    std::string request;
    end = HeadEnd::peer_closed;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        end = append_request_bytes(request, bytes.substr(at, piece));
        if (end != HeadEnd::incomplete)
            break;
        end = HeadEnd::peer_closed;
    }
    return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    HeadEnd whole_end;
    HeadEnd byte_end;
    const std::string request = gather(bytes, receive_chunk_size, whole_end);
    const std::string trickled = gather(bytes, 1, byte_end);
    // A byte at a time, the head stops at its terminator's last byte or just
    // past the size limit; in larger pieces, at the end of the piece that did.
    if (!request.starts_with(trickled) ||
        (byte_end == HeadEnd::complete && whole_end != HeadEnd::complete))
        std::abort();
    if (byte_end == HeadEnd::complete && !trickled.ends_with("\r\n\r\n"))
        std::abort();
    // Kept from one input to the next, as the server keeps it between
    // connections: a response must never show what an earlier one left.
    static std::string buffer;
    int renders = 0;
    const auto render = [&renders](std::string& text) {
        ++renders;
        text += "p_build_info{version=\"0\"} 1\n";
    };
    const std::string first(answer_request(trickled, render, buffer));
    renders = 0;
    const std::string_view response = answer_request(request, render, buffer);
    if (response != first)
        std::abort();
    const auto head_end = response.find("\r\n\r\n");
    if (head_end == std::string::npos || renders > 1)
        std::abort();
    const std::string_view head(response.data(), head_end + 2);
    const std::string_view body = response.substr(head_end + 4);
    const bool ok = head.starts_with("HTTP/1.1 200 OK\r\n") && renders == 1;
    const bool not_found = head.starts_with("HTTP/1.1 404 Not Found\r\n") && renders == 0;
    const bool not_allowed =
        head.starts_with("HTTP/1.1 405 Method Not Allowed\r\n") && renders == 0;
    if (!ok && !not_found && !not_allowed)
        std::abort();
    if (ok && body != "p_build_info{version=\"0\"} 1\n")
        std::abort();
    const std::string length = "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    if (head.find(length) == std::string_view::npos || !head.ends_with("\r\nConnection: close\r\n"))
        std::abort();
    return 0;
}
