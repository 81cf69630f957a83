// ClientHello: the client's first handshake record, offering every cipher
// algorithm it knows.
#include "VeskNetworkSystem.h"
#include "net/socket_io.h"

namespace VeskNetworkSystem {

int CVeskNetworkSession::SendHandShakeClientHello()
{
    // Record header (handshake, version 2.0, body 9), handshake header
    // (ClientHello, body 5), entry count 3, then NONE, 3DES, Blowfish.
    static const unsigned char kClientHello[15] = {
        CRYPTO_MES_TYPE_HANDSHAKE, 2, 0, 0, 0, 9, 0, 0, 0, 5, 0, 3, CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES,
        CRYPTO_ALGORITHM_BLOWFISH,
    };
    return static_cast<int>(vesk::net::SendAll(GetSocket(), kClientHello, sizeof kClientHello));
}

}  // namespace VeskNetworkSystem
