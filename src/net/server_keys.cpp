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
    CVeskServerKeyPin pin;
    pin.host = host;
    pin.service = service;
    pin.known = true;
    std::memcpy(pin.digest, digest, sizeof pin.digest);
    m_ServerKeyPins.push_back(std::move(pin));
    return true;
}

bool CVeskNetworkSessionManager::FindServerKeyPin(const char* host, const char* service,
                                                  unsigned char (&digest)[CVeskNetworkSession::kServerKeyDigestSize],
                                                  std::shared_ptr<CVeskServerKeyPin>* known_server)
{
    if (host == nullptr || service == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(m_ServerKeysMutex);
    const CVeskServerKeyPin* pin = nullptr;
    for (const CVeskServerKeyPin& candidate : m_ServerKeyPins)
        if (pin == nullptr && candidate.host == host && candidate.service == service)
            pin = &candidate;
    // The application's pin comes first; then a key the file knows.
    std::shared_ptr<CVeskServerKeyPin> entry;
    if (pin == nullptr) {
        entry = KnownServerLocked(host, service);
        if (entry && entry->known)
            pin = entry.get();
    }
    if (pin == nullptr) {
        *known_server = std::move(entry);
        return false;
    }
    std::memcpy(digest, pin->digest, sizeof digest);
    return true;
}

void CVeskNetworkSession::PinServerKey(const unsigned char* digest)
{
    std::memcpy(m_PinnedServerKey, digest, sizeof m_PinnedServerKey);
    m_bServerKeyPinned = true;
}

void CVeskNetworkSession::LearnServerKey(std::shared_ptr<CVeskServerKeyPin> entry)
{
    m_KnownServer = std::move(entry);
}

bool CVeskNetworkSession::AcceptsServerKey(const unsigned char* key, size_t length)
{
    if (!m_bServerKeyPinned && !m_KnownServer)
        return true;
    unsigned char digest[kServerKeyDigestSize];
    if (!vesk::crypto::DigestKey(key, length, digest))
        return false;
    if (m_bServerKeyPinned)
        return std::memcmp(digest, m_PinnedServerKey, sizeof digest) == 0;
    return m_Manager != nullptr && m_Manager->CheckKnownServerKey(*m_KnownServer, digest);
}

}  // namespace VeskNetworkSystem
