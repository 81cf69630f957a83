// What a system tells about itself: why its sessions ended, its log lines
// and its counters.
#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

static_assert(VESK_END_REASON_COUNT <= kVeskEndReasonSlots, "every reason has its counter");
static_assert(kVeskEndReasonSlots == CVeskNetworkSessionManager::kEndReasonSlots,
              "the transport counts every slot of the counters");

const char* VeskSessionEndReasonText(int reason)
{
    static const char* const kTexts[VESK_END_REASON_COUNT] = {
        "none",
        "peer closed",
        "reset",
        "bad record",
        "handshake failed",
        "handshake deadline",
        "connect deadline",
        "login deadline",
        "idle deadline",
        "refused logins",
        "send backlog full",
        "closed by application",
        "system stopped",
        "server key mismatch",
    };
    return reason >= 0 && reason < VESK_END_REASON_COUNT ? kTexts[reason] : "unknown";
}

// The transport writes the lines: it holds the pair, so a line never reaches
// into the message layer.
void CVeskMessageSystem::set_log_function(ty_VeskLogFunction function, void* context)
{
    if (m_nsm != nullptr)
        m_nsm->SetLogFunction(function, context);
}

void CVeskMessageSystem::get_counters(tagVeskMessageSystemCounters* counters) const
{
    if (counters == nullptr)
        return;
    *counters = tagVeskMessageSystemCounters{};
    counters->m_logins_accepted = m_LoginsAccepted.load(std::memory_order_relaxed);
    counters->m_logins_refused = m_LoginsRefused.load(std::memory_order_relaxed);
    if (m_nsm == nullptr)
        return;
    const CVeskNetworkSessionManager::Counters& from = m_nsm->GetCounters();
    const auto read = [](const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); };
    counters->m_sessions_accepted = read(from.sessions_accepted);
    counters->m_sessions_connected = read(from.sessions_connected);
    for (int reason = 0; reason < kVeskEndReasonSlots; ++reason)
        counters->m_sessions_ended[reason] = read(from.sessions_ended[reason]);
    counters->m_handshakes_finished = read(from.handshakes_finished);
    counters->m_handshakes_failed = read(from.handshakes_failed);
    counters->m_records_received = read(from.records_received);
    counters->m_records_sent = read(from.records_sent);
    counters->m_bytes_received = read(from.bytes_received);
    counters->m_bytes_sent = read(from.bytes_sent);
}

}  // namespace VeskMessageSystem
