#include "net/socket_io.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

namespace vesk::net {

ssize_t SendAll(int fd, const void* data, size_t n)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t sent = 0;
    while (sent < n) {
        const ssize_t r = ::send(fd, bytes + sent, n - sent, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        sent += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(sent);
}

bool SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace vesk::net
