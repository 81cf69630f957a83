#include <climits>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

CVeskMessageSession::CVeskMessageSession() : m_ns(nullptr), m_ns_udp(nullptr) {}

CVeskMessageSession::CVeskMessageSession(const CVeskMessageSession& rVeskMessageSession)
    : CVeskMessageSessionAbstract(rVeskMessageSession),
      m_ns(rVeskMessageSession.m_ns),
      m_ns_udp(rVeskMessageSession.m_ns_udp)
{
}

CVeskMessageSession CVeskMessageSession::operator=(const CVeskMessageSession& rVeskMessageSession)
{
    m_ns = rVeskMessageSession.m_ns;
    m_ns_udp = rVeskMessageSession.m_ns_udp;
    return *this;
}

bool CVeskMessageSession::operator==(const CVeskMessageSession& rVeskMessageSession) const
{
    return m_ns == rVeskMessageSession.m_ns && m_ns_udp == rVeskMessageSession.m_ns_udp;
}

bool CVeskMessageSession::operator!=(const CVeskMessageSession& rVeskMessageSession) const
{
    return !(*this == rVeskMessageSession);
}

// A handle owns nothing: destroying it closes neither the session nor the
// datagram socket.
CVeskMessageSession::~CVeskMessageSession()
{
    m_ns = nullptr;
}

bool CVeskMessageSession::is_session_used() const
{
    return m_ns != nullptr && m_ns->IsUsed();
}

bool CVeskMessageSession::is_udp_session_used() const
{
    return m_ns_udp != nullptr && m_ns_udp->IsUsed();
}

// Waits for the session's handshake on application threads; a library
// thread that carries the handshake itself is refused at once instead.
int CVeskMessageSession::send_message(const void* pMessageData, size_t nMessageDataSize)
{
    if (m_ns == nullptr)
        return -1;
    // Both directions are encrypted once the handshake has finished; the
    // wait ends with the handshake-finished event, not before it.
    if (!m_ns->IsHandshakeFinished()) {
        if (!m_ns->IsUsed())
            return 0;
        if (m_ns->IsCalledFromOwnThread())
            return -1;
        if (!m_ns->WaitUntilHandshakeFinished())
            return 0;
    }
    if (nMessageDataSize > static_cast<size_t>(INT_MAX))
        return -1;
    return m_ns->send(static_cast<const unsigned char*>(pMessageData), static_cast<int>(nMessageDataSize), 0);
}

// The reference stays: the handle goes on naming the slot, which now reports
// that it is not in use.
void CVeskMessageSession::close_session()
{
    if (m_ns == nullptr)
        return;
    m_ns->close();
    m_ns->SetUsed(false);
}

void CVeskMessageSession::close_udp_session()
{
    if (m_ns_udp == nullptr)
        return;
    m_ns_udp->close();
    m_ns_udp->SetUsed(false);
}

}  // namespace VeskMessageSystem
