// Persistent server keys and the clients' pins of them.
#include <climits>
#include <cstring>

#include "VeskMessageSystem.h"
#include "crypto/key_fingerprint.h"
#include "crypto/rsa_key.h"
#include "crypto/server_key.h"

namespace VeskMessageSystem {
namespace {

static_assert(CVeskMessageSystem::kServerKeyFingerprintSize == vesk::crypto::kFingerprintTextSize,
              "a fingerprint is 64 hex digits and a NUL");

// The public half of a DER key, private or public, as the library encodes it.
bool PublicDerOf(const unsigned char* der, size_t size, std::vector<unsigned char>* public_der)
{
    if (der == nullptr || size == 0 || size > INT_MAX)
        return false;
    const int length = static_cast<int>(size);
    auto key = vesk::crypto::RsaKey::DecodePrivate(der, length);
    if (!key)
        key = vesk::crypto::RsaKey::DecodePublic(der, length);
    return key && key->EncodePublic(public_der);
}

}  // namespace

int CVeskMessageSystem::set_server_key(const unsigned char* der_private_key, size_t size)
{
    if (m_nsm == nullptr)
        return 0;
    if (der_private_key == nullptr || size == 0)
        return m_nsm->SetServerKey(nullptr) ? 1 : 0;
    auto key = vesk::crypto::LoadServerKeyPair(der_private_key, size);
    return key && m_nsm->SetServerKey(std::move(key)) ? 1 : 0;
}

int CVeskMessageSystem::pin_server_key(const char* host, const char* service, const char* fingerprint)
{
    if (m_nsm == nullptr || host == nullptr || service == nullptr)
        return 0;
    if (fingerprint == nullptr)
        return m_nsm->PinServerKey(host, service, nullptr) ? 1 : 0;
    unsigned char digest[vesk::crypto::kKeyDigestSize];
    return vesk::crypto::ParseFingerprint(fingerprint, digest) && m_nsm->PinServerKey(host, service, digest) ? 1 : 0;
}

int CVeskMessageSystem::set_known_servers_file(const char* path)
{
    return m_nsm != nullptr ? m_nsm->SetKnownServersFile(path) : 0;
}

int CVeskMessageSystem::server_key_fingerprint(const unsigned char* der_key, size_t size, char* fingerprint,
                                               size_t fingerprint_size)
{
    std::vector<unsigned char> public_der;
    unsigned char digest[vesk::crypto::kKeyDigestSize];
    if (fingerprint == nullptr || fingerprint_size < kServerKeyFingerprintSize ||
        !PublicDerOf(der_key, size, &public_der) ||
        !vesk::crypto::DigestKey(public_der.data(), public_der.size(), digest))
        return 0;
    char text[vesk::crypto::kFingerprintTextSize];
    vesk::crypto::FormatFingerprint(digest, text);
    std::memcpy(fingerprint, text, sizeof text);
    return 1;
}

}  // namespace VeskMessageSystem
