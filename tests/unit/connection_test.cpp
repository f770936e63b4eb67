#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "http/connection.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct SocketPair : ::testing::Test {
    int server = -1;
    int peer = -1;
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        server = fds[0];
        peer = fds[1];
    }
    void TearDown() override
    {
        close(server);
        if (peer >= 0)
            close(peer);
    }
};

TEST_F(SocketPair, HeadReadingStopsJustPastTheSizeLimit)
{
    const std::string flood(70000, 'a');
    std::thread writer([this, &flood] { (void)!write(peer, flood.data(), flood.size()); });
    std::string request;
    EXPECT_EQ(read_request_head(server, request), HeadEnd::too_long);
    EXPECT_GT(request.size(), request_size_limit);
    EXPECT_LE(request.size(), request_size_limit + receive_chunk_size);
    std::string rest(flood.size(), '\0');
    (void)!read(server, rest.data(), rest.size());
    writer.join();
}

TEST_F(SocketPair, SendingToAPeerThatStopsReadingGivesUpAtTheTimeLimit)
{
    const std::string response(8 << 20, 'r');
    const auto started = Clock::now();
    send_response(server, response);
    const auto took = Clock::now() - started;
    EXPECT_GE(took, response_send_time_limit);
    EXPECT_LT(took, response_send_time_limit + std::chrono::milliseconds(500));
}

TEST_F(SocketPair, SendingToAPeerThatHasGoneNeitherRaisesSigpipeNorHangs)
{
    close(peer);
    peer = -1;
    send_response(server, std::string(1 << 20, 'r'));
    SUCCEED();  // SIGPIPE would have ended the test program
}

TEST_F(SocketPair, ALargeResponseArrivesWholeThroughPartialSends)
{
    std::string response(4 << 20, '\0');
    for (std::size_t i = 0; i < response.size(); ++i)
        response[i] = static_cast<char>('a' + i % 26);
    std::string received;
    std::thread reader([this, &received] {
        char buffer[65536];
        for (;;) {
            const ssize_t count = read(peer, buffer, sizeof buffer);
            if (count <= 0)
                return;
            received.append(buffer, static_cast<std::size_t>(count));
        }
    });
    send_response(server, response);
    finish_connection(server, HeadEnd::complete);
    reader.join();
    EXPECT_TRUE(received == response);
}

}  // namespace
