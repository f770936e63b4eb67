#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "http/render_callback.hpp"

// Routes one request by its request line alone and frames the complete
// response in `buffer`, which the caller keeps from one request to the next so
// that a large body reuses its storage. The callback runs only for a GET of
// /metrics and renders straight into `buffer`. Returns the response: a view
// into `buffer`, valid until the buffer's next use.
std::string_view answer_request(std::string_view request, const RenderCallback& render_callback,
                                std::string& buffer);
