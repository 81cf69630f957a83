// Text helpers private to the message layer.
#ifndef VESK_MESSAGE_TEXT_FUNCTIONS_H
#define VESK_MESSAGE_TEXT_FUNCTIONS_H

#include <sys/socket.h>

#include <cstddef>

namespace VeskMessageSystem {

// Writes the numeric host and the decimal port of `sa` into `host` and `serv`,
// or "unknown" into both when the address is not IPv4 or IPv6, is shorter
// than its family's structure, or cannot be converted. Reads no byte of `sa`
// beyond `salen`. Writes nothing when `sa`, `host` or `serv` is null.
void addr2str(const sockaddr* sa, socklen_t salen, char* host, size_t hostlen, char* serv, size_t servlen);

}  // namespace VeskMessageSystem

#endif
