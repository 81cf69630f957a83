// The datagram socket object: unbound and bound sockets, sends, reads and its callback.
#include <netinet/in.h>
#include <unistd.h>

#include "VeskNetworkSystem.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {

CVeskNetworkUDPSession::CVeskNetworkUDPSession()
    : m_bBind(false),
      m_SokcetState(SOCKET_STATE_NORMAL),
      m_family(0),
      m_Manager(nullptr),
      m_EventBase(nullptr),
      m_BindService{},
      m_cbfunc_UDPEvent(nullptr),
      m_cbfunc_UDPEventParam(nullptr)
{
}

CVeskNetworkUDPSession::~CVeskNetworkUDPSession()
{
    SetUsed(false);
}

void CVeskNetworkUDPSession::SetUsed(bool bFlag)
{
    StoreUsed(bFlag);
}

void CVeskNetworkUDPSession::SetBindService(const char* service)
{
    CopyServiceName(m_BindService, service);
}

void CVeskNetworkUDPSession::SetLibEventRead(short libevent, ty_libevent_handler fn, void* arg)
{
    m_LibEventRead.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

void CVeskNetworkUDPSession::SetLibEventWrite(short libevent, ty_libevent_handler fn, void* arg)
{
    m_LibEventWrite.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

SOCKET CVeskNetworkUDPSession::make_socket(int family, ty_cbfunc_UDPEvent cbfunc_UDPEvent, void* cbfunc_UDPEventParam)
{
    const SOCKET s = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    AdoptSocket(s);
    m_family = family;
    m_cbfunc_UDPEvent = cbfunc_UDPEvent;
    m_cbfunc_UDPEventParam = cbfunc_UDPEventParam;
    m_SokcetState = SOCKET_STATE_NORMAL;
    return s;
}

SOCKET CVeskNetworkUDPSession::make_bind_socket(addrinfo* ai, ty_cbfunc_UDPEvent cbfunc_UDPEvent,
                                                void* cbfunc_UDPEventParam, bool ipv6_only)
{
    if (ai == nullptr || cbfunc_UDPEvent == nullptr)
        return -1;
    const SOCKET s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0)
        return -1;
    // An IPv6 wildcard leaves the IPv4 port to its own sibling socket.
    if (ai->ai_family == AF_INET6 && ipv6_only) {
        const int on = 1;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (::bind(s, ai->ai_addr, ai->ai_addrlen) != 0) {
        ::close(s);
        return -1;
    }
    AdoptSocket(s);
    m_family = ai->ai_family;
    m_cbfunc_UDPEvent = cbfunc_UDPEvent;
    m_cbfunc_UDPEventParam = cbfunc_UDPEventParam;
    m_bBind = true;
    return s;
}

int CVeskNetworkUDPSession::recvfrom(void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen)
{
    const SOCKET s = GetSocket();
    return static_cast<int>(vesk::net::RetryInterrupted([&] { return ::recvfrom(s, buf, len, flags, from, fromlen); }));
}

// Only addresses of the socket's own family can be reached from it.
int CVeskNetworkUDPSession::SendTo(CVeskNetworkUDPSession* datagram, const CVeskElementLifeRef& life, const void* buf,
                                   size_t len, const char* hostname, const char* service)
{
    if (hostname == nullptr || service == nullptr)
        return -1;
    const CVeskElementEntry entry(datagram, life);
    if (!entry)
        return -1;
    const vesk::net::ResolvedAddresses addresses(hostname, service, datagram->m_family, SOCK_DGRAM);
    const addrinfo* address = addresses.First();
    if (address == nullptr)
        return -1;
    const SOCKET s = datagram->GetSocket();
    return static_cast<int>(vesk::net::RetryInterrupted(
        [&] { return ::sendto(s, buf, len, MSG_NOSIGNAL, address->ai_addr, address->ai_addrlen); }));
}

void CVeskNetworkUDPSession::close()
{
    // Callback, parameter and service name stay as they are.
    if (GetSocket() < 0)
        return;
    CloseSocket();
    m_bBind = false;
}

void CVeskNetworkUDPSession::DisarmEvents()
{
    DelLibEventRead();
    DelLibEventWrite();
}

void CVeskNetworkUDPSession::ClearContents()
{
    m_bBind = false;
}

int CVeskNetworkUDPSession::call_cbfunc_UDPEvent(short ev)
{
    if (m_cbfunc_UDPEvent == nullptr || !IsUsed())
        return 1;
    return m_cbfunc_UDPEvent(this, ev, m_cbfunc_UDPEventParam);
}

}  // namespace VeskNetworkSystem
