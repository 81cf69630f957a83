// The receive path: socket bytes into the socket ring (event loop thread),
// complete records out of it (parse thread), delivered payload into the
// receive ring and out to the reader.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "VeskNetworkSystem.h"
#include "crypto/record_cipher.h"
#include "record/failure_reason.h"
#include "record/record_codec.h"
#include "transport/arming.h"
#include "transport/socket_io.h"

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

// The record at the front of a look: its header and body length once the
// look holds the header, and whether it holds the whole body too.
struct Frame {
    tagDataHeader header;
    size_t length = 0;
    bool complete = false;
};

Frame FrameRecord(const CVeskByteRing::View& looked)
{
    Frame frame;
    if (looked.Peek(reinterpret_cast<unsigned char*>(&frame.header), sizeof frame.header)) {
        frame.length = vesk::net::RecordBodyLength(frame.header);
        frame.complete = looked.Held() - sizeof frame.header >= frame.length;
    }
    return frame;
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
    const ssize_t n = vesk::net::RetryInterrupted([&] { return ::recvmsg(s, &message, MSG_DONTWAIT); });
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
    // Deleted before the flow mutex is taken, which is never held while an
    // event is deleted. A read event that the parse thread is arming this
    // very moment is not marked armed yet and cannot be deleted: reading
    // stays with this thread and the next callback pauses.
    if (DelLibEventRead() != 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_FlowMutex);
        // Paused must mean that the loop thread reads no more, since the
        // parse thread then reads instead.
        if (m_recv_socket_buffer.Free() == 0) {
            m_bReadPaused = true;
            return;
        }
    }
    // The parse thread has made room since the ring was found full, and saw
    // reading not paused: this thread goes on reading.
    vesk::net::ArmWhileInUse(
        *this, [this] { return AddLibEventRead(nullptr); }, [this] { DelLibEventRead(); });
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
void CVeskNetworkSession::MarkEndOfStream(bool failed)
{
    Fail(failed ? vesk::net::FailureReason::kReadFailed : vesk::net::FailureReason::kPeerClosed);
    // The end stays readable: stop watching, the parse thread reports it.
    DelLibEventRead();
    m_bReadFailed.store(failed);
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
    if (FrameRecord(m_recv_socket_buffer.Look()).complete)
        return 0;
    m_bCloseReported = true;
    if (m_bReadFailed.load()) {
        m_SokcetState = SOCKET_STATE_ERROR;
        return NETWORK_EVENT_READ;
    }
    m_SokcetState = SOCKET_STATE_CONNECTION_CLOSE;
    return NETWORK_EVENT_CLOSE;
}

// Each step: frame the record at the front of one look, let its payload wait
// for room in the receive ring, then take the body's view, decrypt it and
// deliver it.
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
        const Frame frame = FrameRecord(looked);
        // A record that can never fit in the ring fails at once instead of
        // stalling the session.
        if (frame.length > kMaxRecordBody)
            return failed(vesk::net::FailureReason::kRecordTooLong);
        if (!frame.complete) {
            if (!ReadMore(looked))
                return ParseOutcome::kCaughtUp;
            if (--share_looks == 0)
                return ParseOutcome::kShareUsedUp;
            continue;
        }
        if (WaitsForRoom(frame.header.m_CryptoMessageType, frame.length))
            return ParseOutcome::kCaughtUp;
        const size_t record_size = sizeof frame.header + frame.length;
        if (ParseRecord(looked, frame.header, frame.length) < 0 || !m_recv_socket_buffer.Consume(record_size))
            return failed(vesk::net::FailureReason::kUnreadableRecord);
        NoteRecordType(frame.header.m_CryptoMessageType);
        if (record_size >= share_bytes)
            return ParseOutcome::kShareUsedUp;
        share_bytes -= record_size;
    }
}

bool CVeskNetworkSession::ReadMore(const CVeskByteRing::View& looked)
{
    ResumeReading();
    return m_recv_socket_buffer.Held() > looked.Held();
}

// Payload waits in the socket ring until the receive ring can take it; an
// encrypted body is never shorter than its plaintext. The reader that makes
// room queues the session again.
bool CVeskNetworkSession::WaitsForRoom(unsigned char type, size_t length)
{
    if (!CarriesPayload(type) || m_recv_buffer.Free() >= length)
        return false;
    std::lock_guard<std::mutex> lock(m_FlowMutex);
    // The reader may have made room since the ring was looked at.
    if (m_recv_buffer.Free() >= length)
        return false;
    m_bWaitingForRoom = true;
    return true;
}

int CVeskNetworkSession::ParseRecord(const CVeskByteRing::View& looked, const tagDataHeader& header, size_t length)
{
    CVeskByteRing::Span body[2];
    const int pieces = looked.ReadableSpans(sizeof header, length, body);
    if (pieces == 0)
        return -1;
    // A data record whose payload is its body unchanged goes from the socket
    // ring to the receive ring directly, in its pieces.
    if (CarriesPayload(header.m_CryptoMessageType) && ReceivesInClear())
        return DeliverPayload(body, static_cast<size_t>(pieces), length);
    if (pieces == 1)
        return parse_recv_socket_buffer_sub(header, body[0].data);
    // The cipher and the handshake read a body in one piece.
    unsigned char unwrapped[kMaxRecordBody];
    if (!looked.Peek(unwrapped, length, sizeof header))
        return -1;
    return parse_recv_socket_buffer_sub(header, unwrapped);
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
    unsigned char decrypted[kMaxRecordBody + vesk::crypto::kBlockSize];
    const CVeskByteRing::Span plain = DecryptBody(Body, vesk::net::RecordBodyLength(DataHeader), decrypted);
    if (plain.data == nullptr)
        return Fail(vesk::net::FailureReason::kUndecryptableRecord);
    if (plain.length == 0)
        return 0;
    switch (type) {
        case CRYPTO_MES_TYPE_PLAIN:
            return Plain(DataHeader, plain.data, plain.length);
        case CRYPTO_MES_TYPE_HANDSHAKE:
            return HandShake(DataHeader, plain.data, plain.length);
        case CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC:
            return ChangeCipherSpec(DataHeader, plain.data, plain.length);
        default:
            return Cryptoed(DataHeader, plain.data, plain.length);
    }
}

CVeskByteRing::Span CVeskNetworkSession::DecryptBody(const unsigned char* body, size_t length, unsigned char* decrypted)
{
    if (ReceivesInClear())
        return {body, length};
    const vesk::crypto::CipherSpec* cipher = vesk::crypto::CipherFor(GetCryptoAlgorithm());
    // An algorithm without a cipher delivers nothing.
    if (cipher == nullptr)
        return {body, 0};
    const int n = m_RecvCipher->Decrypt(*cipher, m_CryptoKey.Data(), m_CryptoKey.Length(), m_CryptoIV.Data(),
                                        m_CryptoIV.Length(), body, length, decrypted);
    if (n <= 0)
        return {nullptr, 0};
    return {decrypted, static_cast<size_t>(n)};
}

int CVeskNetworkSession::Plain(const tagDataHeader& /*DataHeader*/, const unsigned char* Body, size_t length)
{
    if (Body == nullptr)
        return -1;
    const CVeskByteRing::Span payload{Body, length};
    return DeliverPayload(&payload, 1, length);
}

int CVeskNetworkSession::Cryptoed(const tagDataHeader& DataHeader, const unsigned char* Body, size_t length)
{
    return Plain(DataHeader, Body, length);
}

int CVeskNetworkSession::DeliverPayload(const CVeskByteRing::Span* pieces, size_t count, size_t length)
{
    if (!m_recv_buffer.Append(pieces, count))
        return -1;
    m_bPassDeliveredPayload = m_bPassDeliveredPayload || length > 0;
    return static_cast<int>(length);
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
