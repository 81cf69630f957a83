// The server keys of a manager: the pair its listeners use, and the server
// key fingerprints its clients require.
#include <cstring>

#include "VeskNetworkSystem.h"
#include "crypto/key_fingerprint.h"
#include "crypto/server_key.h"
#include "net/handshake_records.h"

namespace VeskNetworkSystem {
namespace {

// RSA below 1024 bits is refused everywhere in the library.
constexpr int kMinModulusLength = 128;

static_assert(CVeskNetworkSession::kServerKeyDigestSize == vesk::crypto::kKeyDigestSize, "a pin holds one SHA-256");

}  // namespace

bool CVeskNetworkSessionManager::SetServerKey(std::shared_ptr<const vesk::crypto::ServerKeyPair> key)
{
    // Each ClientKeyExchange field is one RSA block: a longer modulus makes
    // ciphertexts no client can send.
    if (key && (key->modulus_length < kMinModulusLength ||
                static_cast<size_t>(key->modulus_length) > vesk::net::kClientIVFieldCapacity))
        return false;
    std::lock_guard<std::mutex> lock(m_ServerKeysMutex);
    m_ServerKey = std::move(key);
    return true;
}

bool CVeskNetworkSessionManager::PinServerKey(const char* host, const char* service, const unsigned char* digest)
{
    std::lock_guard<std::mutex> lock(m_ServerKeysMutex);
    for (auto pin = m_ServerKeyPins.begin(); pin != m_ServerKeyPins.end(); ++pin) {
        if (pin->host != host || pin->service != service)
            continue;
        if (digest == nullptr)
            m_ServerKeyPins.erase(pin);
        else
            std::memcpy(pin->digest, digest, sizeof pin->digest);
        return true;
    }
    if (digest == nullptr)
        return true;
    if (m_ServerKeyPins.size() >= kMaxServerKeyPins)
        return false;
    ServerKeyPin pin{host, service, {}};
    std::memcpy(pin.digest, digest, sizeof pin.digest);
    m_ServerKeyPins.push_back(std::move(pin));
    return true;
}

bool CVeskNetworkSessionManager::FindServerKeyPin(const char* host, const char* service,
                                                  unsigned char (&digest)[CVeskNetworkSession::kServerKeyDigestSize])
{
    if (host == nullptr || service == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(m_ServerKeysMutex);
    for (const ServerKeyPin& pin : m_ServerKeyPins) {
        if (pin.host == host && pin.service == service) {
            std::memcpy(digest, pin.digest, sizeof digest);
            return true;
        }
    }
    return false;
}

void CVeskNetworkSession::PinServerKey(const unsigned char* digest)
{
    std::memcpy(m_PinnedServerKey, digest, sizeof m_PinnedServerKey);
    m_bServerKeyPinned = true;
}

bool CVeskNetworkSession::AcceptsServerKey(const unsigned char* key, size_t length) const
{
    if (!m_bServerKeyPinned)
        return true;
    unsigned char digest[kServerKeyDigestSize];
    return vesk::crypto::DigestKey(key, length, digest) && std::memcmp(digest, m_PinnedServerKey, sizeof digest) == 0;
}

}  // namespace VeskNetworkSystem
