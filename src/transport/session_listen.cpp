// The listener object: its listening socket and its accept events (its key
// pair is made in handshake/server_keys.cpp).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "VeskNetworkSystem.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {

CVeskNetworkSessionListen::CVeskNetworkSessionListen()
    : m_Manager(nullptr),
      m_EventBase(nullptr),
      m_bAcceptPaused(false),
      m_ListenService{},
      m_ListenAddr(),
      m_cbfunc_Event(nullptr),
      m_cbfunc_EventParam(nullptr),
      m_CryptoAlgorithm(CRYPTO_ALGORITHM_NONE)
{
}

CVeskNetworkSessionListen::~CVeskNetworkSessionListen()
{
    SetUsed(false);
}

void CVeskNetworkSessionListen::SetUsed(bool bFlag)
{
    StoreUsed(bFlag);
}

void CVeskNetworkSessionListen::SetListenService(const char* service)
{
    CopyServiceName(m_ListenService, service);
}

void CVeskNetworkSessionListen::SetLibEvent(short libevent, ty_libevent_handler fn, void* arg)
{
    m_ListenLibEvent.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

SOCKET CVeskNetworkSessionListen::Accept(sockaddr* addr, socklen_t* addrlen)
{
    const SOCKET s = GetSocket();
    if (s < 0)
        return -1;
    // The listening socket is non-blocking: a connection that went away
    // between readiness and this call is simply nothing to accept. The
    // accepted socket itself is blocking.
    return vesk::net::RetryInterrupted([&] { return ::accept4(s, addr, addrlen, SOCK_CLOEXEC); });
}

SOCKET CVeskNetworkSessionListen::Listen(addrinfo* ai, int family, int backlog, ty_cbfunc_Event cbfunc_Event,
                                         void* cbfunc_EventParam, eCryptoAlgorithm CryptoAlgorithm,
                                         const vesk::crypto::ServerKeyPair* key)
{
    if (ai == nullptr || cbfunc_Event == nullptr)
        return -1;
    m_cbfunc_Event = cbfunc_Event;
    m_cbfunc_EventParam = cbfunc_EventParam;
    const SOCKET s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0)
        return -1;
    const int on = 1;
    // A restarted server can listen again while old connections linger, and
    // an IPv6 wildcard does not take the IPv4 port from its own sibling.
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (ai->ai_family == AF_INET6 && family == AF_UNSPEC)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(s, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(s, backlog) != 0 || !vesk::net::SetNonBlocking(s)) {
        // The caller reports the failure with its errno.
        const int error = errno;
        ::close(s);
        errno = error;
        return -1;
    }
    AdoptSocket(s);
    const int keyed = key != nullptr ? UseServerKey(*key) : GenerateRSAKey(1024, 65537);
    if (keyed < 0) {
        CloseSocket();
        return kKeyGenerationFailed;
    }
    m_CryptoAlgorithm = CryptoAlgorithm;
    return s;
}

void CVeskNetworkSessionListen::Close()
{
    if (GetSocket() < 0)
        return;
    CloseSocket();
    m_CryptoAlgorithm = CRYPTO_ALGORITHM_NONE;
    ClearRSAKeyMaterial();
}

void CVeskNetworkSessionListen::DisarmEvents()
{
    DelLibEvent();
    DelAcceptRetry();
}

void CVeskNetworkSessionListen::ClearContents()
{
    // Service name, callback and parameter stay: the next Listen overwrites them.
    m_bAcceptPaused = false;
    m_CryptoAlgorithm = CRYPTO_ALGORITHM_NONE;
    ClearRSAKeyMaterial();
}

}  // namespace VeskNetworkSystem
