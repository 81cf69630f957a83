// Handshake and ChangeCipherSpec records reach the session here.
#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

// This side does not negotiate ciphers yet: a handshake record fails the
// session as any record it cannot take.
int CVeskNetworkSession::HandShake(const tagDataHeader& /*DataHeader*/, const unsigned char* /*Body*/,
                                   size_t /*length*/)
{
    return -1;
}

int CVeskNetworkSession::ChangeCipherSpec(const tagDataHeader& /*DataHeader*/, const unsigned char* /*Body*/,
                                          size_t /*length*/)
{
    return -1;
}

}  // namespace VeskNetworkSystem
