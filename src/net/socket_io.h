// Small helpers over the socket calls the transport makes.
#ifndef VESK_NET_SOCKET_IO_H
#define VESK_NET_SOCKET_IO_H

#include <sys/types.h>

namespace vesk::net {

// Writes all n bytes on a blocking socket, retrying short writes and
// interruptions; never raises SIGPIPE. The byte count, or -1.
ssize_t SendAll(int fd, const void* data, size_t n);

bool SetNonBlocking(int fd);

}  // namespace vesk::net

#endif
