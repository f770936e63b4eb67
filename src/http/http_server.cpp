#include "http/http_server.hpp"

#include <cstdio>
#include <utility>

HttpServer::HttpServer(std::string listen_address, RenderCallback render_callback)
    : listen_address(std::move(listen_address)), render_callback(std::move(render_callback))
{
}

HttpServer::~HttpServer() = default;

bool HttpServer::start()
{
    std::fputs("serve mode is not available yet\n", stderr);
    return false;
}

int HttpServer::run()
{
    return 1;
}
