// The server's side of the handshake: ClientHello answered with flight 2,
// ClientKeyExchange taken apart into the session key and IV.
#include <openssl/crypto.h>

#include <algorithm>

#include "CryptFunction.h"
#include "VeskNetworkSystem.h"
#include "crypto/rsa_key.h"
#include "record/failure_reason.h"
#include "handshake/handshake_records.h"

namespace VeskNetworkSystem {
namespace {

using vesk::net::ByteReader;
using vesk::net::ByteWriter;
using vesk::net::FailureReason;

// Decrypts one ClientKeyExchange field with the session's private key.
bool ReadEncryptedField(ByteReader& message, size_t capacity, const vesk::crypto::RsaKey& private_key,
                        unsigned char* plain, int* plain_length)
{
    uint16_t length = 0;
    const unsigned char* field = nullptr;
    if (!message.ReadU16(&length) || length > capacity || !message.ReadBytes(length, &field))
        return false;
    *plain_length = private_key.Decrypt(length, field, plain);
    return *plain_length >= 0;
}

}  // namespace

int CVeskNetworkSession::HandShakeClientHello(ByteReader& message)
{
    uint16_t count = 0;
    const unsigned char* offered = nullptr;
    if (!message.ReadU16(&count) || !message.ReadBytes(count, &offered))
        return Fail(FailureReason::kMalformedHandshakeMessage);
    // The server names its own algorithm, and only when the client offers it.
    const eCryptoAlgorithm algorithm = GetCryptoAlgorithm();
    if (std::find(offered, offered + count, static_cast<unsigned char>(algorithm)) == offered + count)
        return Fail(FailureReason::kNoCommonAlgorithm);
    // A key that no peer could receive in one record is never offered: its
    // record fails the build.
    const size_t key_length = static_cast<size_t>(m_RSAPublicKey.Length());
    if (key_length == 0)
        return Fail(FailureReason::kNoServerKey);

    std::vector<unsigned char> flight(key_length + vesk::net::kFlightRoom);
    ByteWriter writer(flight.data(), flight.size());
    const auto hello = vesk::net::OpenHandShake(writer, vesk::net::kServerHello);
    writer.U8(static_cast<uint32_t>(algorithm));
    vesk::net::CloseHandShake(writer, hello);
    const auto key_exchange = vesk::net::OpenHandShake(writer, vesk::net::kServerKeyExchange);
    writer.U16(static_cast<uint32_t>(key_length));
    writer.Bytes(m_RSAPublicKey.Data(), key_length);
    // The exponent travels as 4 bytes, least significant first.
    writer.U16(4);
    for (size_t i = 0; i < 4; ++i)
        writer.U8(static_cast<uint32_t>(m_RSAPublicExponent >> (8 * i)) & 0xFF);
    vesk::net::CloseHandShake(writer, key_exchange);
    vesk::net::CloseHandShake(writer, vesk::net::OpenHandShake(writer, vesk::net::kServerHelloDone));
    if (!writer.Ok())
        return Fail(FailureReason::kFlightTooLarge);
    return WriteHandShakeFlight(writer.Data(), writer.Length(), false);
}

int CVeskNetworkSession::HandShakeClientKeyExchange(ByteReader& message)
{
    // Refused after the handshake (the handshake table): once this side
    // sends under its key, the key stays, as senders already encrypt under it.
    const vesk::crypto::RsaKey* private_key = DecodedPrivateKey();
    if (private_key == nullptr)
        return Fail(FailureReason::kKeyExchangeFailed);
    // Room for the largest plaintext OAEP gives back for any key the library
    // can decrypt with.
    unsigned char key[2048];
    unsigned char iv[2048];
    int key_length = 0;
    int iv_length = 0;
    const bool ok = ReadEncryptedField(message, vesk::net::kClientKeyFieldCapacity, *private_key, key, &key_length) &&
                    ReadEncryptedField(message, vesk::net::kClientIVFieldCapacity, *private_key, iv, &iv_length);
    if (ok) {
        // Lengths the fields cannot take leave the earlier values in place.
        SetCryptoKey(key, key_length);
        SetCryptoIV(iv, iv_length);
    }
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
    return ok ? 0 : Fail(FailureReason::kKeyExchangeFailed);
}

}  // namespace VeskNetworkSystem
