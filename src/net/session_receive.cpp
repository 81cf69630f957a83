// The receive path: socket bytes into the socket ring (event loop thread),
// complete records out of it (parse thread), delivered payload into the
// receive ring and out to the reader.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "VeskNetworkSystem.h"
#include "crypto/record_cipher.h"
#include "net/arming.h"
#include "net/failure_reason.h"
#include "net/record_codec.h"

namespace VeskNetworkSystem {
namespace {

bool CarriesPayload(unsigned char type)
{
    return type == CRYPTO_MES_TYPE_PLAIN || type == CRYPTO_MES_TYPE_CRYPTOED;
}

// A session's share of one parse pass: a quarter of its socket ring's worth
// of records, and a few looks that found more bytes (read from its socket by
// the parse thread while the loop thread does not read it). Then the other
// queued sessions have their turn, however fast this peer sends.
constexpr size_t kShareBytes = CVeskNetworkSession::kBusySocketRingSize / 4;
constexpr int kShareLooks = 4;

// Copies the body, which lies in two pieces, into the ring's free space and
// publishes it at once, so a reader never sees one piece without the other.
// False, publishing nothing, when it does not fit.
bool AppendBody(CVeskByteRing& ring, const unsigned char* first, size_t first_length, const unsigned char* second,
                size_t second_length)
{
    if (ring.Free() < first_length + second_length)
        return false;
    iovec spans[2];
    const int span_count = ring.WritableSpans(spans);
    const unsigned char* pieces[2] = {first, second};
    size_t left[2] = {first_length, second_length};
    size_t piece = 0;
    size_t total = 0;
    for (int span = 0; span < span_count && piece < 2; ++span) {
        auto* to = static_cast<unsigned char*>(spans[span].iov_base);
        size_t room = spans[span].iov_len;
        while (room > 0 && piece < 2) {
            const size_t n = std::min(room, left[piece]);
            std::memcpy(to, pieces[piece], n);
            to += n;
            room -= n;
            pieces[piece] += n;
            left[piece] -= n;
            total += n;
            if (left[piece] == 0)
                ++piece;
        }
    }
    ring.Commit(total);
    return true;
}

}  // namespace

int CVeskNetworkSession::recv()
{
    const SOCKET s = GetSocket();
    if (s < 0)
        return -1;
    iovec spans[2];
    const int span_count = m_recv_socket_buffer.WritableSpans(spans);
    if (span_count == 0) {
        PauseReading();
        return kNothingToRead;
    }
    msghdr message{};
    message.msg_iov = spans;
    message.msg_iovlen = static_cast<size_t>(span_count);
    // Readiness was reported, but the loop thread must never block on a
    // socket that has nothing after all.
    ssize_t n = 0;
    do {
        n = ::recvmsg(s, &message, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? kNothingToRead : -1;
    if (n > 0) {
        m_recv_socket_buffer.Commit(static_cast<size_t>(n));
        if (m_Manager != nullptr)
            m_Manager->m_Counters.bytes_received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    return static_cast<int>(n);
}

void CVeskNetworkSession::PauseReading()
{
    std::lock_guard<std::mutex> lock(m_FlowMutex);
    // The parse thread may have made room since the ring was found full.
    if (m_recv_socket_buffer.Free() > 0)
        return;
    // A read event that the parse thread is arming this very moment is not
    // marked armed yet and cannot be deleted: reading stays with this thread
    // and the next callback pauses. Paused must mean that the loop thread
    // reads no more, since the parse thread then reads instead.
    if (DelLibEventRead() != 0)
        return;
    m_bReadPaused = true;
}

// Called by the parse thread when the socket ring lacks a complete record.
// While the loop thread has stopped reading this socket, the parse thread
// reads it itself, within the session's share of the pass and again in later
// passes, as long as the socket has bytes: a sender that keeps the ring full
// is then served by one thread, instead of two threads waking each other for
// every ring-full (a record of 16 KiB leaves room for one at a time). Only a
// drained socket goes back to the loop thread's read event.
void CVeskNetworkSession::ResumeReading()
{
    {
        std::lock_guard<std::mutex> lock(m_FlowMutex);
        // While paused the loop thread does not touch the ring, so this
        // thread is its only reader and writer: a peer that keeps the ring
        // full gets the larger one, read in larger pieces from now on. With
        // no room there is nothing to read into.
        if (!m_bReadPaused)
            return;
        if (m_recv_socket_buffer.Size() < kBusySocketRingSize)
            m_recv_socket_buffer.Resize(kBusySocketRingSize);
        if (m_recv_socket_buffer.Free() == 0)
            return;
    }
    const int n = recv();
    if (n > 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_FlowMutex);
        // The burst is over: between bursts the session keeps only the
        // default ring, and its bytes if they fit in it.
        if (m_recv_socket_buffer.Size() > CVeskByteRing::kSize)
            m_recv_socket_buffer.Resize(CVeskByteRing::kSize);
        m_bReadPaused = false;
    }
    if (n != kNothingToRead) {
        MarkEndOfStream(n < 0);
        return;
    }
    // Outside the lock: a disarm here may wait for this session's read
    // callback, which may want the lock.
    vesk::net::ArmWhileInUse(
        *this, [this] { return AddLibEventRead(nullptr); }, [this] { DelLibEventRead(); });
}

// A deadline or a full send backlog that shut the socket down has noted its
// reason already, and keeps it.
void CVeskNetworkSession::MarkEndOfStream(bool bFailed)
{
    Fail(bFailed ? vesk::net::FailureReason::kReadFailed : vesk::net::FailureReason::kPeerClosed);
    // The end stays readable: stop watching, the parse thread reports it.
    DelLibEventRead();
    m_bReadFailed.store(bFailed);
    m_bEndOfStream.store(true);
}

short CVeskNetworkSession::TakeEndToReport()
{
    if (m_bCloseReported || !m_bEndOfStream.load())
        return 0;
    // Every complete record read before the end of stream is delivered first.
    {
        std::lock_guard<std::mutex> lock(m_FlowMutex);
        if (m_bWaitingForRoom)
            return 0;
    }
    const CVeskByteRing::View looked = m_recv_socket_buffer.Look();
    tagDataHeader header;
    if (looked.Peek(reinterpret_cast<unsigned char*>(&header), sizeof header) &&
        looked.Held() - sizeof header >= vesk::net::RecordBodyLength(header))
        return 0;
    m_bCloseReported = true;
    if (m_bReadFailed.load()) {
        m_SokcetState = SOCKET_STATE_ERROR;
        return NETWORK_EVENT_READ;
    }
    m_SokcetState = SOCKET_STATE_CONNECTION_CLOSE;
    return NETWORK_EVENT_CLOSE;
}

CVeskNetworkSession::ParseOutcome CVeskNetworkSession::parse_recv_socket_buffer()
{
    m_PassRecords = 0;
    m_bPassDeliveredPayload = false;
    // A record that failed with a reason of its own keeps it; any other
    // record that fails could not be read.
    const auto failed = [this](vesk::net::FailureReason reason) {
        Fail(reason);
        m_SokcetState = SOCKET_STATE_ERROR;
        return ParseOutcome::kFailed;
    };
    size_t share_bytes = kShareBytes;
    int share_looks = kShareLooks;
    for (;;) {
        // Every decision and every read of this step follows from this one
        // look; bytes appended meanwhile wait for the next step.
        const CVeskByteRing::View looked = m_recv_socket_buffer.Look();
        if (auto after_looked = m_AfterRecvRingLooked.load(std::memory_order_acquire))
            after_looked(*this);
        tagDataHeader header;
        const bool has_header = looked.Peek(reinterpret_cast<unsigned char*>(&header), sizeof header);
        const size_t length = has_header ? vesk::net::RecordBodyLength(header) : 0;
        // A record that can never fit in the ring fails at once instead of
        // stalling the session.
        if (length > kMaxRecordBody)
            return failed(vesk::net::FailureReason::kRecordTooLong);
        if (!has_header || looked.Held() - sizeof header < length) {
            if (!ReadMore(looked))
                return ParseOutcome::kCaughtUp;
            if (--share_looks == 0)
                return ParseOutcome::kShareUsedUp;
            continue;
        }
        const int result = ParseRecord(looked, header, length);
        if (result == kWaitForRoom) {
            std::lock_guard<std::mutex> lock(m_FlowMutex);
            // The reader may have made room since the record was looked at.
            if (m_recv_buffer.Free() >= length)
                continue;
            m_bWaitingForRoom = true;
            return ParseOutcome::kCaughtUp;
        }
        if (result < 0 || !m_recv_socket_buffer.Consume(sizeof header + length))
            return failed(vesk::net::FailureReason::kUnreadableRecord);
        NoteRecordType(header.m_CryptoMessageType);
        if (sizeof header + length >= share_bytes)
            return ParseOutcome::kShareUsedUp;
        share_bytes -= sizeof header + length;
    }
}

bool CVeskNetworkSession::ReadMore(const CVeskByteRing::View& looked)
{
    ResumeReading();
    return m_recv_socket_buffer.Held() > looked.Held();
}

int CVeskNetworkSession::ParseRecord(const CVeskByteRing::View& looked, const tagDataHeader& header, size_t length)
{
    if (const unsigned char* body = looked.Contiguous(sizeof header, length))
        return parse_recv_socket_buffer_sub(header, body);
    // A data record whose payload is its body unchanged goes from the socket
    // ring to the receive ring directly, in its two pieces, instead of being
    // copied into one piece first.
    if (CarriesPayload(header.m_CryptoMessageType) &&
        (GetCryptoStateRecv() != CRYPTO_STATE_CRYPTOED || GetCryptoAlgorithm() == CRYPTO_ALGORITHM_NONE))
        return PushWrappedBody(looked, length);
    unsigned char unwrapped[kMaxRecordBody];
    if (!looked.Peek(unwrapped, length, sizeof header))
        return -1;
    return parse_recv_socket_buffer_sub(header, unwrapped);
}

int CVeskNetworkSession::PushWrappedBody(const CVeskByteRing::View& looked, size_t length)
{
    if (m_recv_buffer.Free() < length)
        return kWaitForRoom;
    const size_t first = std::min(length, looked.UnbrokenFrom(sizeof(tagDataHeader)));
    const unsigned char* first_piece = looked.Contiguous(sizeof(tagDataHeader), first);
    const unsigned char* second_piece = looked.Contiguous(sizeof(tagDataHeader) + first, length - first);
    if (first_piece == nullptr || second_piece == nullptr ||
        !AppendBody(m_recv_buffer, first_piece, first, second_piece, length - first))
        return -1;
    m_bPassDeliveredPayload = true;
    return static_cast<int>(length);
}

void CVeskNetworkSession::NoteRecordType(unsigned char type)
{
    m_LastRecvTypes[m_PassRecords % kKeptRecordTypes] = static_cast<eCryptoMessageType>(type);
    ++m_PassRecords;
}

CVeskNetworkSession::CryptoMessages CVeskNetworkSession::GetLastRecvCryptoMessages() const
{
    CryptoMessages types;
    for (size_t i = m_PassRecords - std::min(m_PassRecords, kKeptRecordTypes); i < m_PassRecords; ++i)
        types.push_back(m_LastRecvTypes[i % kKeptRecordTypes]);
    return types;
}

int CVeskNetworkSession::parse_recv_socket_buffer_sub(const tagDataHeader& DataHeader, const unsigned char* Body)
{
    const unsigned char type = DataHeader.m_CryptoMessageType;
    if (type > CRYPTO_MES_TYPE_CRYPTOED)
        return Fail(vesk::net::FailureReason::kUnknownRecordType);
    const size_t length = vesk::net::RecordBodyLength(DataHeader);
    // Payload waits in the socket ring until the receive ring can take it;
    // an encrypted body is never shorter than its plaintext.
    if (CarriesPayload(type) && m_recv_buffer.Free() < length)
        return kWaitForRoom;

    const unsigned char* plain = Body;
    size_t plain_length = length;
    unsigned char decrypted[kMaxRecordBody + vesk::crypto::kBlockSize];
    if (GetCryptoStateRecv() == CRYPTO_STATE_CRYPTOED) {
        const eCryptoAlgorithm algorithm = GetCryptoAlgorithm();
        if (const vesk::crypto::CipherSpec* cipher = vesk::crypto::CipherFor(algorithm)) {
            const int n = m_RecvCipher->Decrypt(*cipher, m_CryptoKey.Data(), m_CryptoKey.Length(), m_CryptoIV.Data(),
                                                m_CryptoIV.Length(), Body, length, decrypted);
            if (n <= 0)
                return Fail(vesk::net::FailureReason::kUndecryptableRecord);
            plain = decrypted;
            plain_length = static_cast<size_t>(n);
        } else if (algorithm != CRYPTO_ALGORITHM_NONE) {
            plain_length = 0;
        }
    }
    if (plain_length == 0)
        return 0;
    switch (type) {
        case CRYPTO_MES_TYPE_PLAIN:
            return Plain(DataHeader, plain, plain_length);
        case CRYPTO_MES_TYPE_HANDSHAKE:
            return HandShake(DataHeader, plain, plain_length);
        case CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC:
            return ChangeCipherSpec(DataHeader, plain, plain_length);
        default:
            return Cryptoed(DataHeader, plain, plain_length);
    }
}

int CVeskNetworkSession::Plain(const tagDataHeader& /*DataHeader*/, const unsigned char* Body, size_t length)
{
    if (Body == nullptr)
        return -1;
    const size_t stored = push_recv_buffer(Body, length);
    m_bPassDeliveredPayload = m_bPassDeliveredPayload || stored > 0;
    return static_cast<int>(stored);
}

int CVeskNetworkSession::Cryptoed(const tagDataHeader& DataHeader, const unsigned char* Body, size_t length)
{
    return Plain(DataHeader, Body, length);
}

size_t CVeskNetworkSession::push_recv_buffer(const unsigned char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    return m_recv_buffer.Append(buffer, size) ? size : 0;
}

size_t CVeskNetworkSession::pop_recv_buffer(unsigned char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    return m_recv_buffer.Read(buffer, size);
}

int CVeskNetworkSession::recv(unsigned char* buf, int num, int /*flags*/)
{
    const eSokcetState state = m_SokcetState;
    if (state == SOCKET_STATE_ERROR)
        return -1;
    if (state == SOCKET_STATE_CONNECTION_CLOSE)
        return 0;
    if (num <= 0)
        return 0;
    const size_t taken = pop_recv_buffer(buf, static_cast<size_t>(num));
    if (taken == 0)
        return 0;
    // A record that waited for this room can go on now.
    bool wake_parser = false;
    {
        std::lock_guard<std::mutex> lock(m_FlowMutex);
        std::swap(wake_parser, m_bWaitingForRoom);
    }
    if (wake_parser && m_Manager != nullptr)
        m_Manager->MarkReadyToParse(this);
    return static_cast<int>(taken);
}

}  // namespace VeskNetworkSystem
