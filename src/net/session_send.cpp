// The send path: one record per call, encrypted once the sending direction is.
#include "VeskNetworkSystem.h"
#include "crypto/record_cipher.h"

namespace VeskNetworkSystem {
namespace {

tagDataHeader MakeHeader(eCryptoMessageType type, size_t length)
{
    tagDataHeader header;
    header.m_CryptoMessageType = static_cast<unsigned char>(type);
    header.m_MajorProtocolVersion = 2;
    header.m_MinerProtocolVersion = 0;
    header.m_body_length_high = static_cast<unsigned char>(length >> 16);
    header.m_body_length_mid = static_cast<unsigned char>(length >> 8);
    header.m_body_length_low = static_cast<unsigned char>(length);
    return header;
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
    std::unique_lock<std::mutex> lock(m_SendMutex);
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
        if (algorithm != CRYPTO_ALGORITHM_3DES && algorithm != CRYPTO_ALGORITHM_BLOWFISH) {
            // An algorithm without a cipher sends an empty body.
            body_length = 0;
        } else {
            if (m_CryptoIV.Length() < 8)
                return -1;
            if (!m_SendCipher)
                m_SendCipher = std::make_unique<vesk::crypto::RecordCipher>();
            m_SendScratch.resize(kMaxEncryptedPayload + 8);
            const auto id = algorithm == CRYPTO_ALGORITHM_3DES ? vesk::crypto::CipherId::kTripleDesCbc
                                                               : vesk::crypto::CipherId::kBlowfishCbc;
            const int encrypted = m_SendCipher->Encrypt(id, m_CryptoKey.Data(), m_CryptoKey.Length(), m_CryptoIV.Data(),
                                                        buf, length, m_SendScratch.data());
            if (encrypted < 0)
                return -1;
            body = m_SendScratch.data();
            body_length = static_cast<size_t>(encrypted);
        }
    }
    tagDataHeader header = MakeHeader(type, body_length);
    iovec parts[2] = {{&header, sizeof header}, {const_cast<unsigned char*>(body), body_length}};
    const WriteResult result = WriteInOrder(lock, parts, body_length > 0 ? 2 : 1, flags);
    lock.unlock();
    if (result != WriteResult::kFailed && m_Manager != nullptr)
        m_Manager->m_Counters.records_sent.fetch_add(1, std::memory_order_relaxed);
    if (result == WriteResult::kQueued)
        ArmBacklogFlush();
    return result != WriteResult::kFailed ? static_cast<int>(body_length) : -1;
}

}  // namespace VeskNetworkSystem
