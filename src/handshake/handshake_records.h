// Building blocks of handshake records, shared by the client and server sides.
#ifndef VESK_HANDSHAKE_HANDSHAKE_RECORDS_H
#define VESK_HANDSHAKE_HANDSHAKE_RECORDS_H

#include "VeskNetworkSystem.h"
#include "record/record_codec.h"

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
// Room for any flight whose bodies the fields above bound: every flight but
// the server's, which holds its public key besides.
constexpr size_t kFlightRoom = 1024;
// The Finish message is its handshake header alone.
constexpr unsigned char kFinishMessage[kHandShakeHeaderSize] = {kFinish, 0, 0, 0};

// A handshake record carries one message: its header, then its body.
struct HandShakeRecord {
    size_t record;
    size_t message;
};

inline HandShakeRecord OpenHandShake(ByteWriter& writer, HandShakeMessageType type)
{
    const size_t record = OpenRecord(writer, VeskNetworkSystem::CRYPTO_MES_TYPE_HANDSHAKE);
    writer.U8(type);
    return {record, writer.ReserveU24()};
}

inline void CloseHandShake(ByteWriter& writer, const HandShakeRecord& opened)
{
    writer.Close(opened.message, VeskNetworkSystem::kMaxRecordBody);
    CloseRecord(writer, opened.record);
}

// ChangeCipherSpec, then the Finish record: `finish` is the Finish message as
// the sending direction's cipher leaves it.
inline void CipherSwitchRecords(ByteWriter& writer, const unsigned char* finish, size_t finish_length)
{
    const size_t change = OpenRecord(writer, VeskNetworkSystem::CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC);
    writer.U8(1);
    CloseRecord(writer, change);
    const size_t record = OpenRecord(writer, VeskNetworkSystem::CRYPTO_MES_TYPE_HANDSHAKE);
    writer.Bytes(finish, finish_length);
    CloseRecord(writer, record);
}

}  // namespace vesk::net

#endif
