// Handshake and ChangeCipherSpec records reach the session here; the
// messages are dispatched by a table on their type code.
#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "crypto/record_cipher.h"
#include "net/handshake_records.h"

namespace VeskNetworkSystem {
namespace {

using Handler = int (CVeskNetworkSession::*)(vesk::net::ByteReader&);

}  // namespace

int CVeskNetworkSession::HandShake(const tagDataHeader& /*DataHeader*/, const unsigned char* Body, size_t length)
{
    static const Handler kHandlers[] = {
        &CVeskNetworkSession::HandShakeClientHello,       &CVeskNetworkSession::HandShakeServerHello,
        &CVeskNetworkSession::HandShakeServerKeyExchange, &CVeskNetworkSession::HandShakeServerHelloDone,
        &CVeskNetworkSession::HandShakeClientKeyExchange, &CVeskNetworkSession::HandShakeFinish,
    };
    const auto dispatch = [this, Body, length]() -> int {
        vesk::net::ByteReader record(Body, length);
        uint8_t type = 0;
        uint32_t message_length = 0;
        vesk::net::ByteReader message(nullptr, 0);
        // A message that claims more bytes than its record holds is malformed.
        if (!record.ReadU8(&type) || !record.ReadU24(&message_length) || !record.ReadSub(message_length, &message))
            return -1;
        if (type >= sizeof kHandlers / sizeof kHandlers[0])
            return -1;
        return (this->*kHandlers[type])(message);
    };
    const int result = dispatch();
    if (result < 0)
        NoteEndReason(VeskMessageSystem::VESK_END_HANDSHAKE_FAILED);
    return result;
}

int CVeskNetworkSession::ChangeCipherSpec(const tagDataHeader& /*DataHeader*/, const unsigned char* Body, size_t length)
{
    if (Body == nullptr || length == 0) {
        NoteEndReason(VeskMessageSystem::VESK_END_HANDSHAKE_FAILED);
        return -1;
    }
    if (Body[0] == 1)
        SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
    return static_cast<int>(length);
}

int CVeskNetworkSession::WriteHandShakeFlight(const unsigned char* records, size_t length, bool bSwitchSending)
{
    std::unique_lock<std::mutex> lock(m_SendMutex);
    iovec flight{const_cast<unsigned char*>(records), length};
    const WriteResult result = WriteInOrder(lock, &flight, 1, 0);
    if (result == WriteResult::kFailed)
        return -1;
    CountRecordsSent(records, length);
    if (bSwitchSending)
        SetCryptoStateSend(CRYPTO_STATE_CRYPTOED);
    lock.unlock();
    if (result == WriteResult::kQueued)
        ArmBacklogFlush();
    return static_cast<int>(length);
}

int CVeskNetworkSession::BuildFinish(unsigned char* body)
{
    const eCryptoAlgorithm algorithm = GetCryptoAlgorithm();
    if (algorithm == CRYPTO_ALGORITHM_NONE) {
        std::memcpy(body, vesk::net::kFinishMessage, sizeof vesk::net::kFinishMessage);
        return static_cast<int>(sizeof vesk::net::kFinishMessage);
    }
    const vesk::crypto::CipherSpec* cipher = vesk::crypto::CipherFor(algorithm);
    if (cipher == nullptr)
        return -1;
    // Through the sending direction's cipher, keyed here once for the Finish
    // and every record after it, rather than a key schedule of its own.
    std::lock_guard<std::mutex> lock(m_SendMutex);
    return m_SendCipher->Encrypt(*cipher, m_CryptoKey.Data(), m_CryptoKey.Length(), m_CryptoIV.Data(),
                                 m_CryptoIV.Length(), vesk::net::kFinishMessage, sizeof vesk::net::kFinishMessage,
                                 body);
}

// Whichever side finishes first: a session that has not switched its own
// sending yet answers with its ChangeCipherSpec and Finish; one that has
// (the client) closes the handshake.
int CVeskNetworkSession::HandShakeFinish(vesk::net::ByteReader& /*message*/)
{
    // The handshake ends once; a second Finish is the peer's fault. And a
    // Finish travels under the cipher, after the peer's ChangeCipherSpec has
    // switched this direction: one read in the clear would end the handshake
    // with receiving still plain.
    if (IsHandshakeFinished() || GetCryptoStateRecv() != CRYPTO_STATE_CRYPTOED)
        return -1;
    if (GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED) {
        ReportHandshakeFinished();
        return 0;
    }
    unsigned char finish[16];
    const int finish_length = BuildFinish(finish);
    if (finish_length < 0)
        return -1;
    unsigned char records[vesk::net::kFlightRoom];
    vesk::net::ByteWriter writer(records, sizeof records);
    vesk::net::CipherSwitchRecords(writer, finish, static_cast<size_t>(finish_length));
    const int written = WriteHandShakeFlight(writer.Data(), writer.Length(), true);
    if (written < 0)
        return -1;
    ReportHandshakeFinished();
    return written;
}

}  // namespace VeskNetworkSystem
