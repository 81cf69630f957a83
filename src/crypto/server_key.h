// A key pair an application supplies for its listeners, checked and decoded
// once and then shared, read only, by every listener and session that uses it.
#ifndef VESK_CRYPTO_SERVER_KEY_H
#define VESK_CRYPTO_SERVER_KEY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/rsa_key.h"

namespace vesk::crypto {

struct ServerKeyPair {
    ServerKeyPair() = default;
    ServerKeyPair(const ServerKeyPair&) = delete;
    ServerKeyPair& operator=(const ServerKeyPair&) = delete;
    // The private half is wiped before its memory is given back.
    ~ServerKeyPair();

    std::vector<unsigned char> private_der;
    std::vector<unsigned char> public_der;
    uint32_t exponent = 0;
    int modulus_length = 0;
    std::shared_ptr<const RsaKey> decoded;
};

// Null unless `der` is exactly one PKCS #1 RSAPrivateKey whose parts belong
// together and whose exponent fits the 4 bytes it travels in.
std::shared_ptr<const ServerKeyPair> LoadServerKeyPair(const unsigned char* der, size_t length);

}  // namespace vesk::crypto

#endif
