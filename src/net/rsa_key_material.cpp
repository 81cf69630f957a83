#include "VeskNetworkSystem.h"
#include "crypto/rsa_key.h"

namespace VeskNetworkSystem {

const vesk::crypto::RsaKey* CVeskRSAKeyMaterial::DecodedPrivateKey()
{
    if (!m_DecodedPrivateKey && m_RSAPrivateKey.Length() > 0)
        m_DecodedPrivateKey = vesk::crypto::RsaKey::DecodePrivate(m_RSAPrivateKey.Data(), m_RSAPrivateKey.Length());
    return m_DecodedPrivateKey.get();
}

}  // namespace VeskNetworkSystem
