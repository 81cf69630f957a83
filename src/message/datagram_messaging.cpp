// Messages in datagrams, one per datagram: opening and closing the system's
// datagram sockets, sending to named hosts, and dispatching what arrives.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "VeskMessageSystem.h"
#include "message/session_events.h"
#include "record/byte_reader.h"

namespace VeskMessageSystem {
namespace {

using VeskNetworkSystem::NETWORK_EVENT_CLOSE;
using VeskNetworkSystem::NETWORK_EVENT_READ;

constexpr size_t kDatagramCapacity = VeskNetworkSystem::CVeskByteRing::kSize;

// The header at the start of a datagram; bytes a short datagram lacks read
// as zero.
tagMessageHeader ReadHeader(const unsigned char* bytes, size_t length)
{
    unsigned char padded[sizeof(tagMessageHeader)] = {};
    std::memcpy(padded, bytes, std::min(length, sizeof padded));
    vesk::net::ByteReader reader(padded, sizeof padded);
    tagMessageHeader header{};
    reader.ReadU32LE(&header.m_type);
    reader.ReadU16LE(&header.m_size);
    return header;
}

}  // namespace

CVeskMessageSession* CVeskMessageSystem::open_udp(int family)
{
    if (m_nsm == nullptr)
        return nullptr;
    std::unique_ptr<CVeskMessageSession> handle(new (std::nothrow) CVeskMessageSession);
    if (!handle)
        return nullptr;
    CVeskNetworkUDPSession* datagram = m_nsm->OpenUDPSession(family, cbfunc_udp_Recv, this);
    if (datagram == nullptr)
        return nullptr;
    handle->attach_udp_session(datagram);
    return handle.release();
}

void CVeskMessageSystem::close_udp(CVeskMessageSession* session)
{
    if (m_nsm != nullptr && session != nullptr)
        session->close_udp_session();
}

int CVeskMessageSystem::open_udp_bind(const char* service, int family)
{
    if (m_nsm == nullptr || service == nullptr)
        return 0;
    return m_nsm->OpenUDPBindSession(service, family, cbfunc_udp_Recv, this);
}

void CVeskMessageSystem::close_udp_bind(const char* service)
{
    if (m_nsm != nullptr && service != nullptr)
        m_nsm->CloseUDPBindSession(service);
}

int CVeskMessageSession::sendto_udp_message(const void* pMessageData, size_t nMessageDataSize, const char* hostname,
                                            const char* service)
{
    return CVeskNetworkUDPSession::SendTo(m_ns_udp, m_ns_udp_life, pMessageData, nMessageDataSize, hostname, service);
}

int CVeskMessageSystem::cbfunc_udp_Recv(CVeskNetworkUDPSession* session, short ev, void* pParam)
{
    if (session == nullptr || pParam == nullptr)
        return 0;
    if ((ev & NETWORK_EVENT_READ) == 0)
        return 1;
    auto* system = static_cast<CVeskMessageSystem*>(pParam);
    unsigned char data[kDatagramCapacity];
    // An address the read did not fill is all zero.
    sockaddr_storage sender{};
    socklen_t sender_length = sizeof sender;
    const int length =
        session->recvfrom(data, sizeof data, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (length > 0) {
        system->notify_udp_session_event(session, ev, reinterpret_cast<sockaddr*>(&sender), sender_length);
        if (CVeskNetworkSessionManager::DisposedOnThisThread())
            return 1;
        system->parse_udp_message(session, data, length, reinterpret_cast<sockaddr*>(&sender), sender_length);
        return 1;
    }
    // An empty datagram carries nothing and closes nothing: anyone can send
    // one. A datagram that was already taken is nothing to read either.
    if (length == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 1;
    std::memset(&sender, 0, sizeof sender);
    system->notify_udp_session_event(session, NETWORK_EVENT_CLOSE, reinterpret_cast<sockaddr*>(&sender), 0);
    session->SetUsed(false);
    return 1;
}

int CVeskMessageSystem::notify_udp_session_event(CVeskNetworkUDPSession* session, short ev, const sockaddr* sa,
                                                 socklen_t salen)
{
    CVeskMessageSession handle;
    handle.attach_udp_session(session);
    DeliverSessionEvent(*ExtensionCallFunctionsSnapshot(), handle, ev, sa, salen);
    return 1;
}

// A datagram goes to the first handler registered for its exact type whose
// size rule it meets; the size in its header is not looked at.
int CVeskMessageSystem::parse_udp_message(CVeskNetworkUDPSession* session, const unsigned char* buf, int num,
                                          const sockaddr* sa, socklen_t salen)
{
    if (buf == nullptr || num <= 0)
        return 1;
    const tagMessageHeader header = ReadHeader(buf, static_cast<size_t>(num));
    const auto handlers = ExtensionCallFunctionsSnapshot();
    for (const tagExtensionCallFunction& entry : *handlers) {
        if (entry.m_type != header.m_type || entry.m_size > num || entry.m_call_func == nullptr)
            continue;
        const PeerTexts peer(sa, salen);
        CVeskMessageSession handle;
        handle.attach_udp_session(session);
        entry.m_call_func(&handle, peer.host, peer.service, buf, entry.m_size);
        break;
    }
    return 1;
}

}  // namespace VeskMessageSystem
