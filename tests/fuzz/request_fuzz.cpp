// Any bytes as a request: a response with one of the three statuses, its three
// headers and a Content-Length equal to the body that follows.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/response.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    // Kept from one input to the next, as the server keeps it between
    // connections: a response must never show what an earlier one left.
    static std::string buffer;
    int renders = 0;
    const std::string_view response = answer_request(
        request,
        [&renders](std::string& text) {
            ++renders;
            text += "p_build_info{version=\"0\"} 1\n";
        },
        buffer);
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
