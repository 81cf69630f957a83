// Building blocks of handshake records, shared by the client and server sides.
#ifndef VESK_NET_HANDSHAKE_RECORDS_H
#define VESK_NET_HANDSHAKE_RECORDS_H

#include "VeskNetworkSystem.h"
#include "net/byte_reader.h"

namespace vesk::net {

enum HandShakeMessageType : uint8_t {
    kClientHello = 0,
    kServerHello = 1,
    kServerKeyExchange = 2,
    kServerHelloDone = 3,
    kClientKeyExchange = 4,
    kFinish = 5,
};

constexpr size_t kHandShakeHeaderSize = sizeof(VeskNetworkSystem::tagHandShakeHeader);
// The ClientKeyExchange fields hold at most this many ciphertext bytes.
constexpr size_t kClientKeyFieldCapacity = 320;
constexpr size_t kClientIVFieldCapacity = 160;
// The Finish message is its handshake header alone.
constexpr unsigned char kFinishMessage[kHandShakeHeaderSize] = {kFinish, 0, 0, 0};

inline void RecordHeader(ByteWriter& writer, VeskNetworkSystem::eCryptoMessageType type, size_t body_length)
{
    writer.U8(static_cast<uint32_t>(type));
    writer.U8(2);
    writer.U8(0);
    writer.U24(static_cast<uint32_t>(body_length));
}

// A handshake record header and the handshake header of a message whose body
// is `message_length` bytes.
inline void HandShakeHeaders(ByteWriter& writer, HandShakeMessageType type, size_t message_length)
{
    RecordHeader(writer, VeskNetworkSystem::CRYPTO_MES_TYPE_HANDSHAKE, kHandShakeHeaderSize + message_length);
    writer.U8(type);
    writer.U24(static_cast<uint32_t>(message_length));
}

inline void ChangeCipherSpecRecord(ByteWriter& writer)
{
    RecordHeader(writer, VeskNetworkSystem::CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC, 1);
    writer.U8(1);
}

}  // namespace vesk::net

#endif
