// An application's key pair for its listeners: checked and decoded once, then shared read only.
#include "crypto/server_key.h"

#include <openssl/crypto.h>

#include <climits>

namespace vesk::crypto {

ServerKeyPair::~ServerKeyPair()
{
    OPENSSL_cleanse(private_der.data(), private_der.size());
}

std::shared_ptr<const ServerKeyPair> LoadServerKeyPair(const unsigned char* der, size_t length)
{
    if (der == nullptr || length == 0 || length > INT_MAX)
        return nullptr;
    auto pair = std::make_shared<ServerKeyPair>();
    pair->decoded = RsaKey::DecodePrivate(der, static_cast<int>(length));
    if (!pair->decoded || !pair->decoded->IsConsistentPrivateKey() || !pair->decoded->PublicExponent(&pair->exponent) ||
        !pair->decoded->EncodePublic(&pair->public_der))
        return nullptr;
    pair->modulus_length = pair->decoded->ModulusLength();
    pair->private_der.assign(der, der + length);
    return pair;
}

}  // namespace vesk::crypto
