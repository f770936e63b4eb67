#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/response.hpp"

namespace {

// How often the last answer called the render callback.
int renders = 0;

std::string answer(std::string_view request, std::string body = "x_up 1\n")
{
    renders = 0;
    std::string buffer;
    return std::string(answer_request(
        request, [&](std::string& out) { ++renders, out += body; }, buffer));
}

TEST(AnswerRequest, RoutesByMethodAndPathOfTheRequestLineOnly)
{
    const std::pair<int, std::vector<std::string_view>> cases[] = {
        {200,
         {"GET /metrics HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n", "GET /metrics",
          "GET /metrics?name=x HTTP/1.1\r\n\r\n", "GET /metrics HTTP/1.0\nHost: a\n\nbody"}},
        {404,
         {"GET /metrics/ HTTP/1.1\r\n\r\n", "GET /Metrics HTTP/1.1\r\n\r\n",
          "GET /metrics#top HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\n\r\n", "GET\r\n\r\n",
          "GET  /metrics HTTP/1.1\r\n\r\n", "GET /met\r\nrics HTTP/1.1\r\n\r\n"}},
        {405,
         {"get /metrics HTTP/1.1\r\n\r\n", "HEAD /metrics HTTP/1.1\r\n\r\n",
          "POST /metrics HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", " GET /metrics HTTP/1.1\r\n\r\n",
          "GET\t/metrics HTTP/1.1\r\n\r\n", "", "G"}},
    };
    for (const auto& [status, requests] : cases)
        for (std::string_view request : requests) {
            EXPECT_EQ(answer(request).substr(9, 3), std::to_string(status))
                << '"' << request << '"';
            EXPECT_EQ(renders, status == 200 ? 1 : 0) << '"' << request << '"';
        }
}

// Exact bytes, each response alone in the buffer kept from the one before,
// even after a large one.
TEST(AnswerRequest, ResponsesAreExactBytesInAReusedBuffer)
{
    const std::string big(123456, 'x');
    const std::string plain = "Content-Type: text/plain; charset=utf-8\r\n";
    const std::pair<std::string_view, std::string> exchanges[] = {
        {"GET /metrics HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
         "Content-Length: 123456\r\nConnection: close\r\n\r\n" +
             big},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n" + plain +
                                       "Content-Length: 14\r\nConnection: close\r\n\r\n"
                                       "404 Not Found\n"},
        {"PUT /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n" + plain +
                                              "Content-Length: 23\r\nConnection: close\r\n\r\n"
                                              "405 Method Not Allowed\n"},
    };
    std::string buffer;
    for (const auto& [request, response] : exchanges)
        EXPECT_EQ(answer_request(
                      request, [&](std::string& out) { out += big; }, buffer),
                  response);
}

}  // namespace
