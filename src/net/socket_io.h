// Small helpers over the socket calls the transport makes.
#ifndef VESK_NET_SOCKET_IO_H
#define VESK_NET_SOCKET_IO_H

#include <sys/types.h>

namespace vesk::net {

bool SetNonBlocking(int fd);

}  // namespace vesk::net

#endif
