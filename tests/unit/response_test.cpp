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

TEST(AnswerRequest, ResponsesAreExactBytes)
{
    const std::string body(123456, 'x');
    EXPECT_EQ(answer("GET /metrics HTTP/1.1\r\n\r\n", body),
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 123456\r\n"
              "Connection: close\r\n\r\n" +
                  body);
    EXPECT_EQ(answer("GET / HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found\r\n"
                                                "Content-Type: text/plain; charset=utf-8\r\n"
                                                "Content-Length: 14\r\n"
                                                "Connection: close\r\n\r\n"
                                                "404 Not Found\n");

    EXPECT_EQ(answer("PUT /metrics HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed\r\n"
                                                       "Content-Type: text/plain; charset=utf-8\r\n"
                                                       "Content-Length: 23\r\n"
                                                       "Connection: close\r\n\r\n"
                                                       "405 Method Not Allowed\n");
}

TEST(AnswerRequest, AReusedBufferHoldsOnlyTheLatestResponse)
{
    std::string buffer;
    const auto render = [](std::string body) { return [body](std::string& out) { out += body; }; };
    answer_request("GET /metrics HTTP/1.1\r\n\r\n", render(std::string(100000, 'x')), buffer);
    EXPECT_EQ(answer_request("GET /metrics HTTP/1.1\r\n\r\n", render("a 1\n"), buffer),
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 4\r\n"
              "Connection: close\r\n\r\n"
              "a 1\n");
    EXPECT_EQ(answer_request("GET / HTTP/1.1\r\n\r\n", render("unused"), buffer).size(), 120u);
    EXPECT_EQ(answer_request("GET /metrics HTTP/1.1\r\n\r\n", render(""), buffer),
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 0\r\n"
              "Connection: close\r\n\r\n");
}

}  // namespace
