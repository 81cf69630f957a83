// The session handle: sends, close, end reason and login of one life of a TCP session or datagram socket.
#include "VeskMessageSystem.h"
#include "record/byte_reader.h"

namespace VeskMessageSystem {
namespace {

using VeskNetworkSystem::CVeskElementEntry;

constexpr size_t kMessageHeaderSize = sizeof(tagMessageHeader);

// Whether the bytes are whole messages back to back: every header's m_size
// covers at least the header, and the last message ends where the bytes end.
// The peer cuts what it receives by these sizes, so a send of anything else
// would lose messages there.
bool IsWholeMessages(const void* data, size_t size)
{
    if (data == nullptr || size < kMessageHeaderSize)
        return false;
    vesk::net::ByteReader reader(static_cast<const unsigned char*>(data), size);
    while (!reader.AtEnd()) {
        uint32_t type = 0;
        uint16_t message_size = 0;
        const unsigned char* rest = nullptr;
        if (!reader.ReadU32LE(&type) || !reader.ReadU16LE(&message_size) || message_size < kMessageHeaderSize ||
            !reader.ReadBytes(message_size - sizeof type - sizeof message_size, &rest))
            return false;
    }
    return true;
}

}  // namespace

CVeskMessageSession::CVeskMessageSession() : m_ns(nullptr), m_ns_udp(nullptr) {}

CVeskMessageSession::CVeskMessageSession(const CVeskMessageSession& rVeskMessageSession) = default;

CVeskMessageSession CVeskMessageSession::operator=(const CVeskMessageSession& rVeskMessageSession)
{
    m_ns = rVeskMessageSession.m_ns;
    m_ns_udp = rVeskMessageSession.m_ns_udp;
    m_ns_life = rVeskMessageSession.m_ns_life;
    m_ns_udp_life = rVeskMessageSession.m_ns_udp_life;
    return *this;
}

// Equal when both name the same lives, not merely the same slots.
bool CVeskMessageSession::operator==(const CVeskMessageSession& rVeskMessageSession) const
{
    return m_ns == rVeskMessageSession.m_ns && m_ns_udp == rVeskMessageSession.m_ns_udp &&
           m_ns_life == rVeskMessageSession.m_ns_life && m_ns_udp_life == rVeskMessageSession.m_ns_udp_life;
}

bool CVeskMessageSession::operator!=(const CVeskMessageSession& rVeskMessageSession) const
{
    return !(*this == rVeskMessageSession);
}

// A handle owns nothing: destroying it closes neither the session nor the
// datagram socket.
CVeskMessageSession::~CVeskMessageSession() = default;

bool CVeskMessageSession::is_session_used() const
{
    return m_ns != nullptr && m_ns_life.IsCurrent();
}

bool CVeskMessageSession::is_udp_session_used() const
{
    return m_ns_udp != nullptr && m_ns_udp_life.IsCurrent();
}

// Waits for the session's handshake on application threads, holding a
// reference on the session: its release wakes the wait, and the session and
// its manager stay until the call has left. Where nothing can finish the
// handshake meanwhile (a library thread, which may be the one to carry it;
// an opener not done yet, maybe this very thread in the connect event; a
// manager whose threads do not run) it refuses at once instead.
int CVeskMessageSession::send_message(const void* pMessageData, size_t nMessageDataSize)
{
    if (m_ns == nullptr || nMessageDataSize > VeskNetworkSystem::kMaxPlainPayload ||
        !IsWholeMessages(pMessageData, nMessageDataSize))
        return -1;
    const CVeskElementEntry entry(m_ns, m_ns_life);
    if (!entry)
        return m_ns_life.IsCurrent() ? -1 : 0;
    // The library's own threads (the event's handler among them) send once
    // the handshake has finished; an application's thread once its event has
    // been handled.
    if (!m_ns->IsHandshakeReported()) {
        if (m_ns->IsCalledFromOwnThread()) {
            if (!m_ns->IsHandshakeFinished())
                return -1;
        } else {
            if (!m_ns->IsHandshakeFinished() && !m_ns->CanHandshakeProgress())
                return -1;
            if (!m_ns->WaitUntilHandshakeReported())
                return 0;
        }
    }
    return m_ns->send(static_cast<const unsigned char*>(pMessageData), static_cast<int>(nMessageDataSize), 0);
}

// Ends the named session also while its opener still sets it up (a handler
// of the connect event). The handle goes on naming the ended session.
void CVeskMessageSession::close_session()
{
    const CVeskElementEntry entry(m_ns, m_ns_life, true);
    if (!entry)
        return;
    m_ns->NoteEndReason(VESK_END_CLOSED_BY_APPLICATION);
    m_ns->close();
    m_ns->SetUsed(false);
}

// From the lives block the handle shares: the session's slot may serve
// another session by now, or its pool be gone.
int CVeskMessageSession::get_end_reason() const
{
    return m_ns != nullptr ? m_ns_life.EndReason() : VESK_END_NONE;
}

// Read inside the session's life, so that an ended session answers false
// and the slot's next user is never looked at.
bool CVeskMessageSession::get_authenticated_uid(TCHAR* uid, size_t size) const
{
    if (uid != nullptr && size > 0)
        uid[0] = '\0';
    const CVeskElementEntry entry(m_ns, m_ns_life);
    return entry && m_ns->GetLoggedInUid(uid, size);
}

void CVeskMessageSession::close_udp_session()
{
    const CVeskElementEntry entry(m_ns_udp, m_ns_udp_life, true);
    if (!entry)
        return;
    m_ns_udp->close();
    m_ns_udp->SetUsed(false);
}

}  // namespace VeskMessageSystem
