#include "net/socket_io.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace vesk::net {

bool SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace vesk::net
