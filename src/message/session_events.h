// What TCP and datagram dispatch share: the peer's address as texts, and the
// delivery of session events.
#ifndef VESK_MESSAGE_SESSION_EVENTS_H
#define VESK_MESSAGE_SESSION_EVENTS_H

#include <sys/socket.h>

#include <vector>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

// The peer's numeric host and port, as every handler call carries them.
struct PeerTexts {
    PeerTexts(const sockaddr* sa, socklen_t salen);
    char host[1025];
    char service[32];
};

// Hands a session event for the peer at `sa` to the first handler registered
// for session events whose size rule the 140-byte record meets; bytes of the
// record's address beyond `salen` are zero.
void DeliverSessionEvent(const std::vector<tagExtensionCallFunction>& handlers, CVeskMessageSession& handle, short ev,
                         const sockaddr* sa, socklen_t salen);

}  // namespace VeskMessageSystem

#endif
