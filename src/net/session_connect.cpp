// How a session comes to hold a connection: accepted from a listener or
// connected to a named host.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

SOCKET CVeskNetworkSession::accept(CVeskNetworkSessionListen* pVeskNetworkSessionListen)
{
    if (pVeskNetworkSessionListen == nullptr)
        return -1;
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    const SOCKET s = pVeskNetworkSessionListen->Accept(reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (s < 0)
        return -1;
    AdoptConnection(s, reinterpret_cast<sockaddr*>(&peer), peer_length);
    m_cbfunc_Event = pVeskNetworkSessionListen->Get_cbfunc_Event();
    m_cbfunc_EventParam = pVeskNetworkSessionListen->Get_cbfunc_EventParam();
    CopyRSAKeyMaterialFrom(*pVeskNetworkSessionListen);
    return s;
}

namespace {

struct AddressList {
    ~AddressList()
    {
        if (head != nullptr)
            freeaddrinfo(head);
    }
    addrinfo* head = nullptr;
};

}  // namespace

SOCKET CVeskNetworkSession::connect(bool bSecure, const char* hostname, const char* service,
                                    ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam)
{
    if (hostname == nullptr || service == nullptr)
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddressList addresses;
    if (getaddrinfo(hostname, service, &hints, &addresses.head) != 0)
        return -1;

    // The first address that accepts the connection wins.
    for (addrinfo* entry = addresses.head; entry != nullptr; entry = entry->ai_next) {
        const SOCKET s = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (s < 0)
            return -1;
        if (::connect(s, entry->ai_addr, entry->ai_addrlen) != 0) {
            ::close(s);
            continue;
        }
        AdoptConnection(s, entry->ai_addr, entry->ai_addrlen);
        m_cbfunc_Event = cbfunc_Event;
        m_cbfunc_EventParam = cbfunc_EventParam;
        m_SokcetState = SOCKET_STATE_NORMAL;
        break;
    }
    if (GetSocket() < 0)
        return -1;

    if (bSecure && SendHandShakeClientHello() < 0) {
        CloseSocket();
        return -1;
    }
    call_cbfunc_Event(NETWORK_EVENT_CONNECT);
    return GetSocket();
}

SOCKET CVeskNetworkSession::connect(const char* hostname, const char* service, ty_cbfunc_Event cbfunc_Event,
                                    void* cbfunc_EventParam)
{
    return connect(false, hostname, service, cbfunc_Event, cbfunc_EventParam);
}

SOCKET CVeskNetworkSession::connect_secure(const char* hostname, const char* service, ty_cbfunc_Event cbfunc_Event,
                                           void* cbfunc_EventParam)
{
    return connect(true, hostname, service, cbfunc_Event, cbfunc_EventParam);
}

}  // namespace VeskNetworkSystem
