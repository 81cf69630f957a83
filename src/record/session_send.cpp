// The send path: one record per call, encrypted once the sending direction is.
#include <chrono>

#include "VeskNetworkSystem.h"
#include "crypto/record_cipher.h"
#include "record/record_codec.h"

namespace VeskNetworkSystem {
namespace {

// A record sent within this time of the previous one belongs to a burst. A
// request that waits for its answer waits longer than this, even over
// loopback, so it always leaves at once.
constexpr int64_t kBurstGapNs = 10000;
// Larger records leave by themselves: their system call costs little beside
// copying them once more into the backlog.
constexpr size_t kCoalescedRecordMax = 4096;

int64_t SteadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// The decision to encrypt, the encryption and the write happen under the send
// lock, the same lock under which the handshake writes its ChangeCipherSpec
// and switches the sending direction: no record decided plain can follow it.
int CVeskNetworkSession::send(const unsigned char* buf, int num, int flags)
{
    if (num < 0 || (buf == nullptr && num > 0))
        return -1;
    CVeskElementEntry entry(this);
    if (!entry)
        return -1;
    const bool coalesce = JoinsBurst(static_cast<size_t>(num));
    std::unique_lock<std::mutex> lock(m_SendMutex);
    // Room first: waiting lets the lock go, and the handshake may switch the
    // sending direction meanwhile, so the record is decided only after it.
    // The body grows by at most one cipher block.
    if (!WaitForBacklogRoom(lock, kRecordHeaderSize + static_cast<size_t>(num) + vesk::crypto::kBlockSize))
        return -1;
    const eCryptoAlgorithm algorithm = GetCryptoAlgorithm();
    const eCryptoMessageType type =
        algorithm != CRYPTO_ALGORITHM_NONE ? CRYPTO_MES_TYPE_CRYPTOED : CRYPTO_MES_TYPE_PLAIN;
    const auto length = static_cast<size_t>(num);
    const bool encrypt = GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED && algorithm != CRYPTO_ALGORITHM_NONE;
    // A payload the peer could never take in is refused here.
    if (length > (encrypt ? kMaxEncryptedPayload : kMaxPlainPayload))
        return -1;

    const unsigned char* body = buf;
    size_t body_length = length;
    if (encrypt) {
        // An algorithm without a cipher sends an empty body.
        body_length = 0;
        if (const vesk::crypto::CipherSpec* cipher = vesk::crypto::CipherFor(algorithm)) {
            m_SendScratch.resize(kMaxEncryptedPayload + vesk::crypto::kBlockSize);
            const int encrypted =
                m_SendCipher->Encrypt(*cipher, m_CryptoKey.Data(), m_CryptoKey.Length(), m_CryptoIV.Data(),
                                      m_CryptoIV.Length(), buf, length, m_SendScratch.data());
            if (encrypted < 0)
                return -1;
            body = m_SendScratch.data();
            body_length = static_cast<size_t>(encrypted);
        }
    }
    unsigned char header[kRecordHeaderSize];
    vesk::net::ByteWriter writer(header, sizeof header);
    vesk::net::RecordHeader(writer, type, body_length);
    iovec parts[2] = {{header, sizeof header}, {const_cast<unsigned char*>(body), body_length}};
    const WriteResult result = WriteInOrder(lock, parts, body_length > 0 ? 2 : 1, flags, coalesce);
    lock.unlock();
    if (result != WriteResult::kFailed && m_Manager != nullptr)
        m_Manager->m_Counters.records_sent.fetch_add(1, std::memory_order_relaxed);
    if (result == WriteResult::kQueued)
        ArmBacklogFlush();
    return result != WriteResult::kFailed ? static_cast<int>(body_length) : -1;
}

// The first record of a burst leaves at once; those that follow it closely
// wait in the backlog, and the loop thread writes them together in one
// system call, while the sender goes on without making any. A session whose
// manager's loop thread does not run writes every record itself.
bool CVeskNetworkSession::JoinsBurst(size_t length)
{
    const int64_t now = SteadyNowNs();
    const int64_t previous = m_LastSendAt.exchange(now, std::memory_order_relaxed);
    if (length > kCoalescedRecordMax || now - previous > kBurstGapNs)
        return false;
    return IsCalledFromOwnThread() || CanHandshakeProgress();
}

}  // namespace VeskNetworkSystem
