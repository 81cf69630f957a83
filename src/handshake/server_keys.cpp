// The server keys: the pair a manager's listeners use (given, or generated
// per listener), and the server key fingerprints its clients require.
#include <openssl/crypto.h>

#include <cstring>
#include <vector>

#include "CryptFunction.h"

#include "VeskNetworkSystem.h"
#include "crypto/key_fingerprint.h"
#include "crypto/server_key.h"
#include "handshake/handshake_records.h"

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

int CVeskNetworkSessionListen::GenerateRSAKey(int bits, unsigned long e)
{
    m_RSAPublicExponent = e;
    // Generation costs milliseconds; the scratch stays off the caller's stack.
    std::vector<unsigned char> scratch(2 * static_cast<size_t>(kRSAKeyCapacity));
    unsigned char* private_key = scratch.data();
    unsigned char* public_key = private_key + kRSAKeyCapacity;
    int private_length = 0;
    int public_length = 0;
    int result = RSA_generate_key_der(bits, e, private_key, &private_length, public_key, &public_length);
    // The private key is decoded here, once for every session of the listener.
    if (result > 0 && (SetRSAPrivateKey(private_key, private_length) < 0 ||
                       m_RSAPublicKey.Set(public_key, public_length) < 0 || DecodedPrivateKey() == nullptr))
        result = -1;
    OPENSSL_cleanse(private_key, static_cast<size_t>(kRSAKeyCapacity));
    return result;
}

int CVeskNetworkSessionListen::UseServerKey(const vesk::crypto::ServerKeyPair& key)
{
    if (SetRSAPrivateKey(key.private_der.data(), static_cast<int>(key.private_der.size())) < 0 ||
        m_RSAPublicKey.Set(key.public_der.data(), static_cast<int>(key.public_der.size())) < 0)
        return -1;
    m_RSAPublicExponent = key.exponent;
    // Decoded once for every listener and session that uses the pair.
    m_DecodedPrivateKey = key.decoded;
    return 0;
}

}  // namespace VeskNetworkSystem
