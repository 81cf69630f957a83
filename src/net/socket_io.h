// Small helpers over the socket calls the transport makes.
#ifndef VESK_NET_SOCKET_IO_H
#define VESK_NET_SOCKET_IO_H

#include <sys/types.h>

#include <cerrno>

namespace vesk::net {

bool SetNonBlocking(int fd);

// Makes a call again while a signal interrupted it (EINTR, which a handler
// installed without SA_RESTART causes); its last result. Not for close(),
// which has given up the descriptor even when it reports EINTR.
template <class Call>
auto RetryInterrupted(Call call) -> decltype(call())
{
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

}  // namespace vesk::net

#endif
