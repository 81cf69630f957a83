// Handshake and ChangeCipherSpec records reach the session here; the
// handshake table decides which message a session takes in which state.
#include "VeskNetworkSystem.h"
#include "crypto/record_cipher.h"
#include "record/failure_reason.h"
#include "handshake/handshake_records.h"

namespace VeskNetworkSystem {

using vesk::net::FailureReason;

// The handshake table: which message each role takes in each state, the
// handler that takes it and the state it leads to. Whatever has no row is
// refused: a message of the other role, or one out of order. Rows marked
// "again" are tolerated repeats, which change nothing the handshake agreed.
int CVeskNetworkSession::HandShake(const tagDataHeader& /*DataHeader*/, const unsigned char* Body, size_t length)
{
    using namespace vesk::net;
    using Session = CVeskNetworkSession;
    constexpr HandshakeRole kServer = HandshakeRole::kServer, kClient = HandshakeRole::kClient;
    constexpr HandshakeState kAwaitHello = HandshakeState::kAwaitHello,
                             kAwaitKeyExchange = HandshakeState::kAwaitKeyExchange,
                             kAwaitFinish = HandshakeState::kAwaitFinish, kDone = HandshakeState::kDone;
    struct Row {
        HandshakeRole role;
        HandshakeState state;
        uint8_t type;
        int (Session::*handler)(ByteReader&);
        HandshakeState next;
    };
    static constexpr Row kTable[] = {
        {kServer, kAwaitHello, kClientHello, &Session::HandShakeClientHello, kAwaitKeyExchange},
        // A ClientKeyExchange or Finish without a ClientHello: taken, as
        // always, from a client that knows the listener's algorithm.
        {kServer, kAwaitHello, kClientKeyExchange, &Session::HandShakeClientKeyExchange, kAwaitFinish},
        {kServer, kAwaitHello, kFinish, &Session::HandShakeFinish, kDone},
        // Again: flight 2 again.
        {kServer, kAwaitKeyExchange, kClientHello, &Session::HandShakeClientHello, kAwaitKeyExchange},
        {kServer, kAwaitKeyExchange, kClientKeyExchange, &Session::HandShakeClientKeyExchange, kAwaitFinish},
        // Without a cipher there is no key to exchange.
        {kServer, kAwaitKeyExchange, kFinish, &Session::HandShakeFinish, kDone},
        // Again: flight 2 again, and a key that replaces the first.
        {kServer, kAwaitFinish, kClientHello, &Session::HandShakeClientHello, kAwaitFinish},
        {kServer, kAwaitFinish, kClientKeyExchange, &Session::HandShakeClientKeyExchange, kAwaitFinish},
        {kServer, kAwaitFinish, kFinish, &Session::HandShakeFinish, kDone},
        // Again after the handshake: flight 2 in the clear; the key stays.
        {kServer, kDone, kClientHello, &Session::HandShakeClientHello, kDone},

        // The ServerHello is optional. Again: it and the key are taken in any
        // state, as always; a server that changes them later breaks only its
        // own session.
        {kClient, kAwaitHello, kServerHello, &Session::HandShakeServerHello, kAwaitHello},
        {kClient, kAwaitHello, kServerKeyExchange, &Session::HandShakeServerKeyExchange, kAwaitHello},
        {kClient, kAwaitHello, kServerHelloDone, &Session::HandShakeServerHelloDone, kAwaitFinish},
        {kClient, kAwaitFinish, kServerHello, &Session::HandShakeServerHello, kAwaitFinish},
        {kClient, kAwaitFinish, kServerKeyExchange, &Session::HandShakeServerKeyExchange, kAwaitFinish},
        {kClient, kAwaitFinish, kFinish, &Session::HandShakeFinish, kDone},
        {kClient, kDone, kServerHello, &Session::HandShakeServerHello, kDone},
        {kClient, kDone, kServerKeyExchange, &Session::HandShakeServerKeyExchange, kDone},
    };
    ByteReader record(Body, length);
    uint8_t type = 0;
    uint32_t message_length = 0;
    ByteReader message(nullptr, 0);
    // A message that claims more bytes than its record holds is malformed.
    if (!record.ReadU8(&type) || !record.ReadU24(&message_length) || !record.ReadSub(message_length, &message))
        return Fail(FailureReason::kMalformedHandshakeMessage);
    if (type > kFinish)
        return Fail(FailureReason::kUnknownHandshakeMessage);
    const HandshakeRole role = m_Role.load(std::memory_order_relaxed);
    bool role_takes_type = false;
    for (const Row& row : kTable) {
        if (row.role != role || row.type != type)
            continue;
        role_takes_type = true;
        if (row.state != m_HandshakeState)
            continue;
        const int result = (this->*row.handler)(message);
        if (result >= 0)
            m_HandshakeState = row.next;
        return result;
    }
    return Fail(role_takes_type ? FailureReason::kMessageOutOfOrder : FailureReason::kMessageOfTheOtherRole);
}

int CVeskNetworkSession::ChangeCipherSpec(const tagDataHeader& /*DataHeader*/, const unsigned char* Body, size_t length)
{
    if (Body == nullptr || length == 0)
        return Fail(FailureReason::kEmptyChangeCipherSpec);
    if (Body[0] == 1)
        SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
    return static_cast<int>(length);
}

int CVeskNetworkSession::WriteHandShakeFlight(const unsigned char* records, size_t length, bool switch_sending)
{
    std::unique_lock<std::mutex> lock(m_SendMutex);
    iovec flight{const_cast<unsigned char*>(records), length};
    const WriteResult result = WriteInOrder(lock, &flight, 1, 0);
    if (result == WriteResult::kFailed)
        return Fail(FailureReason::kHandshakeWriteFailed);
    CountRecordsSent(records, length);
    if (switch_sending)
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
    // A Finish travels under the cipher, after the peer's ChangeCipherSpec
    // has switched this direction: one read in the clear would end the
    // handshake with receiving still plain.
    if (GetCryptoStateRecv() != CRYPTO_STATE_CRYPTOED)
        return Fail(FailureReason::kFinishInTheClear);
    if (GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED) {
        ReportHandshakeFinished();
        return 0;
    }
    unsigned char finish[16];
    const int finish_length = BuildFinish(finish);
    if (finish_length < 0)
        return Fail(FailureReason::kFinishUnbuildable);
    unsigned char records[vesk::net::kFlightRoom];
    vesk::net::ByteWriter writer(records, sizeof records);
    vesk::net::CipherSwitchRecords(writer, finish, static_cast<size_t>(finish_length));
    const int written = WriteHandShakeFlight(writer.Data(), writer.Length(), true);
    if (written < 0)
        return written;
    ReportHandshakeFinished();
    return written;
}

}  // namespace VeskNetworkSystem
