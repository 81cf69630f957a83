// Datagram sockets: unbound ones for sending (and the answers), bound ones
// per resolved address of a local service.
#include <event2/event.h>
#include "VeskNetworkSystem.h"
#include "transport/arming.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {

CVeskNetworkUDPSession* CVeskNetworkSessionManager::OpenUDPSession(int family, ty_cbfunc_UDPEvent cbfunc_UDPEvent,
                                                                   void* cbfunc_UDPEventParam)
{
    CVeskNetworkUDPSession* datagram = nullptr;
    vesk::net::OpenElement(
        m_UDPSessionArray,
        [&](CVeskNetworkUDPSession& claimed) {
            return claimed.make_socket(family, cbfunc_UDPEvent, cbfunc_UDPEventParam) >= 0;
        },
        [](CVeskNetworkUDPSession& opened) {
            opened.SetLibEventRead(EV_READ | EV_PERSIST, udp_event_read, &opened);
            return opened.AddLibEventRead(nullptr);
        },
        &datagram);
    return datagram;
}

void CVeskNetworkSessionManager::CloseUDPSession(CVeskNetworkUDPSession* session)
{
    if (session == nullptr)
        return;
    session->close();
    session->SetUsed(false);
}

int CVeskNetworkSessionManager::OpenUDPBindSession(const char* service, int family, ty_cbfunc_UDPEvent cbfunc_UDPEvent,
                                                   void* cbfunc_UDPEventParam)
{
    if (!vesk::net::ServiceNameFits(service))
        return 0;
    const vesk::net::ResolvedAddresses addresses(nullptr, service, family, SOCK_DGRAM);
    if (addresses.First() == nullptr)
        return 0;

    int nsocks = 0;
    const int capacity = m_UDPSessionArray.Size();
    // A bound socket's event fires once and is armed again after each
    // datagram.
    const auto arm = [](CVeskNetworkUDPSession& datagram) {
        datagram.SetLibEventRead(EV_READ, udp_event_read, &datagram);
        return datagram.AddLibEventRead(nullptr);
    };
    for (addrinfo* entry = addresses.First(); entry != nullptr && nsocks < capacity; entry = entry->ai_next) {
        // Both families on one port: the IPv6 socket leaves IPv4 to its sibling.
        const auto set_up = [&](CVeskNetworkUDPSession& datagram) {
            if (datagram.make_bind_socket(entry, cbfunc_UDPEvent, cbfunc_UDPEventParam, family == AF_UNSPEC) < 0)
                return false;
            datagram.SetBindService(service);
            return true;
        };
        const vesk::net::Opening opening = vesk::net::OpenElement(m_UDPSessionArray, set_up, arm);
        if (opening == vesk::net::Opening::kNoneFree) {
            nsocks = 0;
            break;
        }
        if (opening == vesk::net::Opening::kOpened)
            ++nsocks;
    }
    return nsocks;
}

void CVeskNetworkSessionManager::CloseUDPBindSession(const char* service)
{
    vesk::net::CloseByService(
        m_UDPSessionArray, service,
        [](CVeskNetworkUDPSession& datagram) { return datagram.IsBind() ? datagram.GetBindService() : nullptr; },
        [](CVeskNetworkUDPSession& datagram) { datagram.close(); });
}

}  // namespace VeskNetworkSystem
