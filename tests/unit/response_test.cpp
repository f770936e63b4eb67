#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "http/response.hpp"

namespace {

constexpr std::string_view exposition = "# TYPE x_up gauge\nx_up 1\n";

struct Answer {
    std::string response;
    int renders = 0;
};

Answer answer(std::string_view request, std::string_view body = exposition)
{
    Answer result;
    result.response = answer_request(request, [&result, body] {
        ++result.renders;
        return std::string(body);
    });
    return result;
}

std::string status_line(const std::string& response)
{
    return response.substr(0, response.find("\r\n"));
}

TEST(AnswerRequest, RoutesByMethodAndPathOfTheRequestLineOnly)
{
    const struct {
        std::string_view request;
        std::string_view status;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n", "HTTP/1.1 200 OK"},
        {"GET /metrics?name=x HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
        {"GET /metrics", "HTTP/1.1 200 OK"},
        {"GET /metrics HTTP/1.0\nHost: a\n\nbody", "HTTP/1.1 200 OK"},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET /Metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET /metrics#top HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET  /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET /met\r\nrics HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"get /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", "HTTP/1.1 405 Method Not Allowed"},
        {" GET /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
        {"GET\t/metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
        {"", "HTTP/1.1 405 Method Not Allowed"},
        {"G", "HTTP/1.1 405 Method Not Allowed"},
    };
    for (const auto& c : cases) {
        const Answer result = answer(c.request);
        EXPECT_EQ(status_line(result.response), c.status) << '"' << c.request << '"';
        EXPECT_EQ(result.renders, c.status.ends_with("200 OK") ? 1 : 0) << '"' << c.request << '"';
    }
}

TEST(AnswerRequest, ErrorResponsesAreExactBytes)
{
    const std::string not_found = answer("GET / HTTP/1.1\r\n\r\n").response;
    EXPECT_EQ(not_found, "HTTP/1.1 404 Not Found\r\n"
                         "Content-Type: text/plain; charset=utf-8\r\n"
                         "Content-Length: 14\r\n"
                         "Connection: close\r\n\r\n"
                         "404 Not Found\n");
    EXPECT_EQ(not_found.size(), 120u);

    const std::string not_allowed = answer("PUT /metrics HTTP/1.1\r\n\r\n").response;
    EXPECT_EQ(not_allowed, "HTTP/1.1 405 Method Not Allowed\r\n"
                           "Content-Type: text/plain; charset=utf-8\r\n"
                           "Content-Length: 23\r\n"
                           "Connection: close\r\n\r\n"
                           "405 Method Not Allowed\n");
    EXPECT_EQ(not_allowed.size(), 138u);
}

TEST(AnswerRequest, MetricsBodyFollowsAHeadThatCountsItsBytes)
{
    const std::string body(123456, 'x');
    const std::string response = answer("GET /metrics HTTP/1.1\r\n\r\n", body).response;
    const std::string head = "HTTP/1.1 200 OK\r\n"
                             "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                             "Content-Length: 123456\r\n"
                             "Connection: close\r\n\r\n";
    EXPECT_EQ(head.size(), 112u + 6u);
    EXPECT_EQ(response, head + body);

    EXPECT_EQ(answer("GET /metrics HTTP/1.1\r\n\r\n", "").response,
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 0\r\n"
              "Connection: close\r\n\r\n");
}

}  // namespace
