// The record header, written and read here alone: the record type, version
// 2.0, and the body length in 3 bytes, most significant first.
#ifndef VESK_RECORD_RECORD_CODEC_H
#define VESK_RECORD_RECORD_CODEC_H

#include "VeskNetworkSystem.h"
#include "record/byte_reader.h"

namespace vesk::net {

// The body follows; CloseRecord fills in its length.
inline size_t OpenRecord(ByteWriter& writer, VeskNetworkSystem::eCryptoMessageType type)
{
    writer.U8(static_cast<uint32_t>(type));
    writer.U8(2);
    writer.U8(0);
    return writer.ReserveU24();
}

// A body longer than any peer takes in fails the build.
inline void CloseRecord(ByteWriter& writer, size_t record)
{
    writer.Close(record, VeskNetworkSystem::kMaxRecordBody);
}

// The header of a record whose body of `body_length` bytes is sent apart.
inline void RecordHeader(ByteWriter& writer, VeskNetworkSystem::eCryptoMessageType type, size_t body_length)
{
    writer.FillIn(OpenRecord(writer, type), body_length, VeskNetworkSystem::kMaxRecordBody);
}

inline size_t RecordBodyLength(const VeskNetworkSystem::tagDataHeader& header)
{
    return static_cast<size_t>(header.m_body_length_high) << 16 | static_cast<size_t>(header.m_body_length_mid) << 8 |
           header.m_body_length_low;
}

// Steps over one whole record; false when the bytes hold none. The version
// bytes are not looked at.
inline bool SkipRecord(ByteReader& reader)
{
    uint8_t type = 0;
    uint16_t version = 0;
    uint32_t body_length = 0;
    ByteReader body(nullptr, 0);
    return reader.ReadU8(&type) && reader.ReadU16(&version) && reader.ReadU24(&body_length) &&
           reader.ReadSub(body_length, &body);
}

}  // namespace vesk::net

#endif
