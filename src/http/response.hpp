#pragma once

#include <string>
#include <string_view>

#include "http/render_callback.hpp"

// Routes one request by its request line alone and returns the complete
// response; the callback runs only for a GET of /metrics.
std::string answer_request(std::string_view request, const RenderCallback& render_callback);

// Frames an HTTP/1.1 response with exactly three headers and the body.
std::string build_response(int status, std::string_view reason, std::string_view content_type,
                           std::string_view body);
