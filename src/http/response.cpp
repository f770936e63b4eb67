#include "http/response.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace {

constexpr std::string_view metrics_content_type = "text/plain; version=0.0.4; charset=utf-8";
constexpr std::string_view plain_content_type = "text/plain; charset=utf-8";

struct RequestTarget {
    std::string_view method;
    std::string_view path;
};

// Only the request line counts: headers, version and body are never looked at.
RequestTarget parse_request_line(std::string_view request)
{
    const std::string_view line = request.substr(0, request.find("\r\n"));
    const auto method_end = line.find(' ');
    if (method_end == std::string_view::npos)
        return {line, {}};
    const std::string_view rest = line.substr(method_end + 1);
    std::string_view path = rest.substr(0, rest.find(' '));
    path = path.substr(0, path.find('?'));
    return {line.substr(0, method_end), path};
}

// The body is written first, behind room left for the head; the head, whose
// length depends on the body's, then goes right in front of it. The body is
// never copied, and the whole response leaves in one contiguous run.
constexpr std::size_t head_room = 160;

constexpr std::size_t longest_head(std::string_view reason, std::string_view content_type)
{
    return std::string_view("HTTP/1.1 200 \r\nContent-Type: \r\nContent-Length: \r\n"
                            "Connection: close\r\n\r\n")
               .size() +
           reason.size() + content_type.size() + 20;  // 20: digits of the largest length
}
static_assert(longest_head("OK", metrics_content_type) <= head_room);
static_assert(longest_head("Not Found", plain_content_type) <= head_room);
static_assert(longest_head("Method Not Allowed", plain_content_type) <= head_room);

// Frames the body that follows the head room in `buffer`: status line, exactly
// three headers, then the body unchanged.
std::string_view frame(std::string& buffer, int status, std::string_view reason,
                       std::string_view content_type)
{
    const std::size_t body_length = buffer.size() - head_room;
    char head[head_room];
    const auto end = fmt::format_to_n(head, sizeof head,
                                      "HTTP/1.1 {} {}\r\nContent-Type: {}\r\n"
                                      "Content-Length: {}\r\nConnection: close\r\n\r\n",
                                      status, reason, content_type, body_length);
    const std::size_t start = head_room - end.size;
    std::copy_n(head, end.size, buffer.begin() + static_cast<std::ptrdiff_t>(start));
    return std::string_view(buffer).substr(start);
}

}  // namespace

std::string_view answer_request(std::string_view request, const RenderCallback& render_callback,
                                std::string& buffer)
{
    // assign() keeps the buffer's capacity.
    buffer.assign(head_room, ' ');
    const RequestTarget target = parse_request_line(request);
    if (target.method != "GET") {
        buffer += "405 Method Not Allowed\n";
        return frame(buffer, 405, "Method Not Allowed", plain_content_type);
    }
    if (target.path != "/metrics") {
        buffer += "404 Not Found\n";
        return frame(buffer, 404, "Not Found", plain_content_type);
    }
    render_callback(buffer);
    return frame(buffer, 200, "OK", metrics_content_type);
}
