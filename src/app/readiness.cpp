#include "app/readiness.hpp"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

void notify_ready()
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr)
        return;
    struct sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    // A path, or a Linux abstract name written with a leading '@'.
    if ((path[0] != '/' && path[0] != '@') || length < 2 || length > sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    static const char message[] = "READY=1";
    sendto(fd, message, sizeof message - 1, MSG_NOSIGNAL,
           reinterpret_cast<const struct sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length));
    close(fd);
}
