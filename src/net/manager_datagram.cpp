// Datagram sockets: unbound ones for sending (and the answers), bound ones
// per resolved address of a local service.
#include <event2/event.h>
#include <netdb.h>

#include "VeskNetworkSystem.h"
#include "net/arming.h"

namespace VeskNetworkSystem {
namespace {

template <class Arm>
bool ArmRead(CVeskNetworkUDPSession& datagram, Arm arm)
{
    return vesk::net::ArmWhileInUse(datagram, arm, [&datagram] { datagram.DelLibEventRead(); });
}

}  // namespace

CVeskNetworkUDPSession* CVeskNetworkSessionManager::OpenUDPSession(int family, ty_cbfunc_UDPEvent cbfunc_UDPEvent,
                                                                   void* cbfunc_UDPEventParam)
{
    CVeskNetworkUDPSession* datagram = m_UDPSessionArray.Claim();
    if (datagram == nullptr)
        return nullptr;
    if (datagram->make_socket(family, cbfunc_UDPEvent, cbfunc_UDPEventParam) < 0) {
        datagram->AbandonClaim();
        return nullptr;
    }
    if (!datagram->Publish())
        return nullptr;
    const bool armed = ArmRead(*datagram, [datagram] {
        datagram->SetLibEventRead(EV_READ | EV_PERSIST, udp_event_read, datagram);
        return datagram->AddLibEventRead(nullptr);
    });
    if (!armed) {
        datagram->SetUsed(false);
        return nullptr;
    }
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
    // Service names live in 32-byte fields; a longer one could not be matched
    // when it is closed again.
    if (service == nullptr || strnlen(service, CVeskNetworkUDPSession::kServiceCapacity) >=
                                  static_cast<size_t>(CVeskNetworkUDPSession::kServiceCapacity))
        return 0;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(nullptr, service, &hints, &addresses) != 0)
        return 0;

    int nsocks = 0;
    const int capacity = m_UDPSessionArray.Size();
    for (addrinfo* entry = addresses; entry != nullptr && nsocks < capacity; entry = entry->ai_next) {
        CVeskNetworkUDPSession* datagram = m_UDPSessionArray.Claim();
        if (datagram == nullptr) {
            nsocks = 0;
            break;
        }
        // Both families on one port: the IPv6 socket leaves IPv4 to its sibling.
        if (datagram->make_bind_socket(entry, cbfunc_UDPEvent, cbfunc_UDPEventParam, family == AF_UNSPEC) < 0) {
            datagram->AbandonClaim();
            continue;
        }
        datagram->SetBindService(service);
        if (!datagram->Publish())
            continue;
        // A bound socket's event fires once and is armed again after each
        // datagram.
        const bool armed = ArmRead(*datagram, [datagram] {
            datagram->SetLibEventRead(EV_READ, udp_event_read, datagram);
            return datagram->AddLibEventRead(nullptr);
        });
        if (armed)
            ++nsocks;
        else
            datagram->SetUsed(false);
    }
    freeaddrinfo(addresses);
    return nsocks;
}

void CVeskNetworkSessionManager::CloseUDPBindSession(const char* service)
{
    if (service == nullptr)
        return;
    m_UDPSessionArray.ForEach([service](CVeskNetworkUDPSession& datagram) {
        {
            CVeskElementEntry entry(&datagram);
            if (!entry || !datagram.IsBind() || std::strcmp(datagram.GetBindService(), service) != 0)
                return;
        }
        datagram.close();
        datagram.SetUsed(false);
    });
}

}  // namespace VeskNetworkSystem
