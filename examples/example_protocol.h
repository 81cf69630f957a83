// The messages the example tools exchange. Types 0 to 65535 belong to the
// application; every message starts with the library's 8-byte header and
// travels as it lies in memory, little-endian.
#ifndef VESK_EXAMPLE_PROTOCOL_H
#define VESK_EXAMPLE_PROTOCOL_H

#include <cstddef>
#include <cstdint>

#include "VeskMessageSystem.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "messages are sent in memory order, which must be little-endian");

namespace vesk_example {

// Any size from the bare header up to the largest encrypted record; the echo
// server sends it back unchanged.
constexpr uint32_t kEchoType = 1000;
// A datagram ping and its answer.
constexpr uint32_t kPingType = 1001;
constexpr uint32_t kPongType = 1002;

constexpr size_t kMinMessageSize = sizeof(VeskMessageSystem::tagMessageHeader);
constexpr size_t kMaxMessageSize = VeskNetworkSystem::kMaxEncryptedPayload;

struct PingMessage {
    VeskMessageSystem::tagMessageHeader m_header;  // kPingType or kPongType, m_size 16
    uint32_t m_sequence;
    uint32_t m_reserved;
};
static_assert(sizeof(PingMessage) == 16, "a ping is 16 bytes");

}  // namespace vesk_example

#endif
