// The client's side of the handshake: ClientHello at connect, then flight 2
// taken in and answered with flight 3.
#include <openssl/crypto.h>

#include "CryptFunction.h"
#include "VeskNetworkSystem.h"
#include "crypto/cipher_map.h"
#include "crypto/rsa_key.h"
#include "record/failure_reason.h"
#include "handshake/handshake_records.h"

namespace VeskNetworkSystem {
namespace {

using vesk::net::ByteReader;
using vesk::net::ByteWriter;
using vesk::net::FailureReason;

// Encrypts `plain` under the server's public key; the ciphertext is as long as
// the server's modulus, which must fit the ClientKeyExchange field.
int EncryptField(const unsigned char* plain, int plain_length, const vesk::crypto::RsaKey& public_key,
                 size_t modulus_bound, std::vector<unsigned char>& ciphertext)
{
    // A modulus is never longer than the DER key that carries it.
    ciphertext.resize(modulus_bound);
    const int length = public_key.Encrypt(plain_length, plain, ciphertext.data());
    if (length < 0 || static_cast<size_t>(length) > vesk::net::kClientIVFieldCapacity)
        return -1;
    ciphertext.resize(static_cast<size_t>(length));
    return length;
}

}  // namespace

int CVeskNetworkSession::SendHandShakeClientHello()
{
    // Every algorithm this side knows, in the order of their values.
    static const unsigned char kOffered[] = {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH};
    unsigned char record[vesk::net::kFlightRoom];
    ByteWriter writer(record, sizeof record);
    const auto hello = vesk::net::OpenHandShake(writer, vesk::net::kClientHello);
    writer.U16(sizeof kOffered);
    writer.Bytes(kOffered, sizeof kOffered);
    vesk::net::CloseHandShake(writer, hello);
    return writer.Ok() ? WriteHandShakeFlight(writer.Data(), writer.Length(), false) : -1;
}

int CVeskNetworkSession::HandShakeServerHello(ByteReader& message)
{
    uint8_t algorithm = 0;
    if (!message.ReadU8(&algorithm))
        return Fail(FailureReason::kMalformedHandshakeMessage);
    // An algorithm this side does not know could never finish the handshake.
    if (algorithm > CRYPTO_ALGORITHM_BLOWFISH)
        return Fail(FailureReason::kUnknownAlgorithm);
    SetCryptoAlgorithm(static_cast<eCryptoAlgorithm>(algorithm));
    return 0;
}

int CVeskNetworkSession::HandShakeServerKeyExchange(ByteReader& message)
{
    uint16_t key_length = 0;
    const unsigned char* key = nullptr;
    uint16_t exponent_length = 0;
    const unsigned char* exponent_bytes = nullptr;
    if (!message.ReadU16(&key_length) || !message.ReadBytes(key_length, &key) || !message.ReadU16(&exponent_length) ||
        !message.ReadBytes(exponent_length, &exponent_bytes))
        return Fail(FailureReason::kMalformedHandshakeMessage);
    // A client that pinned the server's key sends nothing under any other:
    // neither the session key nor, after it, the login.
    if (!AcceptsServerKey(key, key_length))
        return Fail(FailureReason::kServerKeyMismatch);
    // Least significant byte first; only the first four bytes count.
    unsigned long exponent = 0;
    for (size_t i = 0; i < exponent_length && i < 4; ++i)
        exponent |= static_cast<unsigned long>(exponent_bytes[i]) << (8 * i);
    SetRSAPublicKey(key, key_length);
    SetRSAPublicExponent(exponent);
    return 0;
}

int CVeskNetworkSession::HandShakeServerHelloDone(ByteReader& /*message*/)
{
    // Taken once (the handshake table): once this side sends under its key,
    // the key stays, as senders already encrypt under it.
    const int public_key_length = m_RSAPublicKey.Length();
    if (public_key_length <= 0)
        return Fail(FailureReason::kNoServerKey);
    const eCryptoAlgorithm algorithm = GetCryptoAlgorithm();
    // Whoever sits in between could choose no cipher (or leave out the
    // ServerHello) and read the login in clear: a pinned or known key is
    // worth nothing without one.
    if ((m_bServerKeyPinned || m_KnownServer) && algorithm == CRYPTO_ALGORITHM_NONE)
        return Fail(FailureReason::kServerKeyWithoutCipher);
    // An algorithm without a cipher exchanges no key.
    const vesk::crypto::CipherSpec* cipher = vesk::crypto::CipherFor(algorithm);

    std::vector<unsigned char> encrypted_key;
    std::vector<unsigned char> encrypted_iv;
    unsigned char key[kCryptoKeyCapacity] = {};
    unsigned char iv[kCryptoIVCapacity] = {};
    if (cipher != nullptr) {
        const int key_length = cipher->key_length;
        const int iv_length = cipher->iv_length;
        select_random_key(key, key_length);
        select_random_iv(iv, iv_length);
        // The server's key is decoded once for both fields.
        const auto server_key = vesk::crypto::RsaKey::DecodePublic(m_RSAPublicKey.Data(), public_key_length);
        const auto bound = static_cast<size_t>(public_key_length);
        const bool encrypted = server_key != nullptr &&
                               EncryptField(key, key_length, *server_key, bound, encrypted_key) >= 0 &&
                               EncryptField(iv, iv_length, *server_key, bound, encrypted_iv) >= 0;
        if (!encrypted) {
            OPENSSL_cleanse(key, sizeof key);
            return Fail(FailureReason::kKeyExchangeFailed);
        }
        SetCryptoKey(key, key_length);
        SetCryptoIV(iv, iv_length);
        OPENSSL_cleanse(key, sizeof key);
    }
    unsigned char finish[16];
    const int finish_length = BuildFinish(finish);
    if (finish_length < 0)
        return Fail(FailureReason::kFinishUnbuildable);

    // ClientKeyExchange, ChangeCipherSpec and Finish leave in one write.
    unsigned char flight[vesk::net::kFlightRoom];
    ByteWriter writer(flight, sizeof flight);
    if (cipher != nullptr) {
        const auto exchange = vesk::net::OpenHandShake(writer, vesk::net::kClientKeyExchange);
        writer.U16(static_cast<uint32_t>(encrypted_key.size()));
        writer.Bytes(encrypted_key.data(), encrypted_key.size());
        writer.U16(static_cast<uint32_t>(encrypted_iv.size()));
        writer.Bytes(encrypted_iv.data(), encrypted_iv.size());
        vesk::net::CloseHandShake(writer, exchange);
    }
    vesk::net::CipherSwitchRecords(writer, finish, static_cast<size_t>(finish_length));
    if (!writer.Ok())
        return Fail(FailureReason::kFlightTooLarge);
    return WriteHandShakeFlight(writer.Data(), writer.Length(), true);
}

}  // namespace VeskNetworkSystem
