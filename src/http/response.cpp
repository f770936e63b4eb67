#include "http/response.hpp"

#include <fmt/format.h>

#include <iterator>

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

}  // namespace

std::string answer_request(std::string_view request, const RenderCallback& render_callback)
{
    const RequestTarget target = parse_request_line(request);
    if (target.method != "GET")
        return build_response(405, "Method Not Allowed", plain_content_type,
                              "405 Method Not Allowed\n");
    if (target.path != "/metrics")
        return build_response(404, "Not Found", plain_content_type, "404 Not Found\n");
    return build_response(200, "OK", metrics_content_type, render_callback());
}

std::string build_response(int status, std::string_view reason, std::string_view content_type,
                           std::string_view body)
{
    std::string response;
    response.reserve(128 + content_type.size() + reason.size() + body.size());
    auto out = std::back_inserter(response);
    fmt::format_to(out, "HTTP/1.1 {} {}\r\n", status, reason);
    fmt::format_to(out, "Content-Type: {}\r\n", content_type);
    fmt::format_to(out, "Content-Length: {}\r\n", body.size());
    response += "Connection: close\r\n\r\n";
    response += body;
    return response;
}
