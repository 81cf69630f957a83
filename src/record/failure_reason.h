// Why a session fails, as the library sees it inside, and the one mapping of
// each reason to the end reason that applications and operators see.
#ifndef VESK_RECORD_FAILURE_REASON_H
#define VESK_RECORD_FAILURE_REASON_H

#include <cstdint>

#include "VeskMessageSystem.h"

namespace vesk::net {

enum class FailureReason : uint8_t {
    kNone,
    // The connection.
    kPeerClosed,
    kReadFailed,
    kWriteFailed,
    kSendBacklogFull,
    // The record layer.
    kRecordTooLong,
    kUnknownRecordType,
    kUndecryptableRecord,
    kUnreadableRecord,
    kEmptyChangeCipherSpec,
    // The handshake.
    kUnknownHandshakeMessage,
    kMalformedHandshakeMessage,
    kMessageOfTheOtherRole,
    kMessageOutOfOrder,
    kNoCommonAlgorithm,
    kUnknownAlgorithm,
    kNoServerKey,
    kServerKeyMismatch,
    kServerKeyWithoutCipher,
    kKeyExchangeFailed,
    kFinishInTheClear,
    kFinishUnbuildable,
    kFlightTooLarge,
    kHandshakeWriteFailed,
};

// The end reason (an eVeskSessionEndReason) a failure shows outside.
constexpr int EndReasonOf(FailureReason reason)
{
    using namespace VeskMessageSystem;
    switch (reason) {
        case FailureReason::kNone:
            return VESK_END_NONE;
        case FailureReason::kPeerClosed:
            return VESK_END_PEER_CLOSED;
        case FailureReason::kReadFailed:
        case FailureReason::kWriteFailed:
            return VESK_END_RESET;
        case FailureReason::kSendBacklogFull:
            return VESK_END_SEND_BACKLOG_FULL;
        case FailureReason::kRecordTooLong:
        case FailureReason::kUnknownRecordType:
        case FailureReason::kUndecryptableRecord:
        case FailureReason::kUnreadableRecord:
            return VESK_END_BAD_RECORD;
        case FailureReason::kServerKeyMismatch:
            return VESK_END_SERVER_KEY_MISMATCH;
        default:
            return VESK_END_HANDSHAKE_FAILED;
    }
}

}  // namespace vesk::net

#endif
