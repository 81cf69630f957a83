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

// Sending needs the record layer; until it exists a handle cannot send.
int CVeskMessageSession::send_message(const void* /*pMessageData*/, size_t /*nMessageDataSize*/)
{
    return m_ns == nullptr ? -1 : 0;
}

// Sending datagrams needs the datagram messaging; until it exists a handle
// cannot send.
int CVeskMessageSession::sendto_udp_message(const void* /*pMessageData*/, size_t /*nMessageDataSize*/,
                                            const char* /*hostname*/, const char* /*service*/)
{
    return -1;
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
