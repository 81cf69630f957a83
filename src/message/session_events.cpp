// The peer's address as texts, and a session event delivered to its handler.
#include "message/session_events.h"

#include <algorithm>
#include <cstring>

#include "message/text_functions.h"

namespace VeskMessageSystem {

PeerTexts::PeerTexts(const sockaddr* sa, socklen_t salen)
{
    addr2str(sa, salen, host, sizeof host, service, sizeof service);
}

void DeliverSessionEvent(const std::vector<tagExtensionCallFunction>& handlers, CVeskMessageSession& handle, short ev,
                         const sockaddr* sa, socklen_t salen)
{
    constexpr uint16_t kRecordSize = sizeof(tagMessageDataSesssionEvent);
    const auto target = std::find_if(handlers.begin(), handlers.end(), [](const tagExtensionCallFunction& entry) {
        return entry.m_type == VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT && entry.m_size <= kRecordSize;
    });
    if (target == handlers.end() || target->m_call_func == nullptr)
        return;
    tagMessageDataSesssionEvent record{};
    record.m_header.m_type = VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT;
    record.m_header.m_size = kRecordSize;
    record.m_ev = ev;
    if (sa != nullptr)
        std::memcpy(&record.m_SessionAddr, sa, std::min<size_t>(salen, sizeof record.m_SessionAddr));
    const PeerTexts peer(sa, salen);
    target->m_call_func(&handle, peer.host, peer.service, &record, kRecordSize);
}

}  // namespace VeskMessageSystem
