// Key material of sessions and listeners: the fixed-capacity key fields and
// the RSA key pair held in them.
#include <cstring>

#include "VeskNetworkSystem.h"
#include "crypto/rsa_key.h"

namespace VeskNetworkSystem {

template <int Capacity>
int CVeskKeyField<Capacity>::Set(const unsigned char* key, int length)
{
    if (key == nullptr || length < 1 || length > Capacity)
        return -1;
    std::memmove(m_Bytes, key, static_cast<size_t>(length));
    // The tail of a longer earlier key is wiped rather than left behind.
    if (m_Length > length)
        std::memset(m_Bytes + length, 0, static_cast<size_t>(m_Length - length));
    m_Length = length;
    return length;
}

template <int Capacity>
int CVeskKeyField<Capacity>::Get(unsigned char* buffer, int capacity) const
{
    if (buffer == nullptr || capacity < 1 || m_Length > capacity)
        return -1;
    std::memset(buffer, 0, static_cast<size_t>(capacity));
    std::memcpy(buffer, m_Bytes, static_cast<size_t>(m_Length));
    return m_Length;
}

template <int Capacity>
void CVeskKeyField<Capacity>::Clear()
{
    std::memset(m_Bytes, 0, static_cast<size_t>(m_Length));
    m_Length = 0;
}

template class CVeskKeyField<CVeskRSAKeyMaterial::kRSAKeyCapacity>;
template class CVeskKeyField<CVeskNetworkSession::kCryptoKeyCapacity>;
template class CVeskKeyField<CVeskNetworkSession::kCryptoIVCapacity>;

int CVeskRSAKeyMaterial::SetRSAPrivateKey(const unsigned char* key, int length)
{
    const int result = m_RSAPrivateKey.Set(key, length);
    if (result > 0)
        m_DecodedPrivateKey.reset();
    return result;
}

void CVeskRSAKeyMaterial::CopyRSAKeyMaterialFrom(const CVeskRSAKeyMaterial& other)
{
    if (other.m_RSAPrivateKey.Length() > 0) {
        m_RSAPrivateKey.Set(other.m_RSAPrivateKey.Data(), other.m_RSAPrivateKey.Length());
        m_DecodedPrivateKey = other.m_DecodedPrivateKey;
    }
    if (other.m_RSAPublicKey.Length() > 0)
        m_RSAPublicKey.Set(other.m_RSAPublicKey.Data(), other.m_RSAPublicKey.Length());
    m_RSAPublicExponent = other.m_RSAPublicExponent;
}

void CVeskRSAKeyMaterial::ClearRSAKeyMaterial()
{
    m_DecodedPrivateKey.reset();
    m_RSAPrivateKey.Clear();
    m_RSAPublicKey.Clear();
    m_RSAPublicExponent = 0;
}

const vesk::crypto::RsaKey* CVeskRSAKeyMaterial::DecodedPrivateKey()
{
    if (!m_DecodedPrivateKey && m_RSAPrivateKey.Length() > 0)
        m_DecodedPrivateKey = vesk::crypto::RsaKey::DecodePrivate(m_RSAPrivateKey.Data(), m_RSAPrivateKey.Length());
    return m_DecodedPrivateKey.get();
}

}  // namespace VeskNetworkSystem
