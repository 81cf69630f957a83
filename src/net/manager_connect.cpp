// Connecting sessions to named hosts, closing them, and the exported name
// lookup.
#include <arpa/inet.h>
#include <event2/event.h>
#include <netdb.h>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "net/arming.h"
#include "net/socket_io.h"

namespace VeskNetworkSystem {

CVeskNetworkSession* CVeskNetworkSessionManager::Connect(bool bSecure, const char* hostname, const char* service,
                                                         ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam)
{
    // Resolved before a session is claimed: a lookup can take long, and a
    // claimed session must be one that a release ends at once.
    const vesk::net::StreamAddresses addresses(hostname, service);
    if (addresses.First() == nullptr)
        return nullptr;
    unsigned char pinned_key[CVeskNetworkSession::kServerKeyDigestSize];
    std::shared_ptr<CVeskServerKeyPin> known_server;
    const bool pinned = bSecure && FindServerKeyPin(hostname, service, pinned_key, &known_server);
    CVeskNetworkSession* session = nullptr;
    {
        // The pool is read for the whole connect: a release of it from the
        // connect event's handler then keeps the array instead of waiting for
        // the session this thread holds.
        const ConnectScope scope(this);
        m_SessionArray.WithArray([&](CVeskNetworkSession*, int) {
            session = ConnectClaimed(addresses.First(), bSecure, pinned ? pinned_key : nullptr, known_server,
                                     cbfunc_Event, cbfunc_EventParam);
        });
    }
    return session;
}

CVeskNetworkSession* CVeskNetworkSessionManager::ConnectClaimed(const addrinfo* addresses, bool bSecure,
                                                                const unsigned char* pinned_key,
                                                                std::shared_ptr<CVeskServerKeyPin> known_server,
                                                                ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam)
{
    CVeskNetworkSession* session = m_SessionArray.Claim();
    if (session == nullptr)
        return nullptr;
    if (pinned_key != nullptr)
        session->PinServerKey(pinned_key);
    else if (known_server)
        session->LearnServerKey(std::move(known_server));
    if (session->ConnectTo(addresses, bSecure, cbfunc_Event, cbfunc_EventParam) < 0) {
        session->AbandonClaim();
        return nullptr;
    }
    return PublishAndWatch(session, 0);
}

CVeskNetworkSession* CVeskNetworkSessionManager::PublishAndWatch(CVeskNetworkSession* session,
                                                                 uint32_t handshake_deadline_ms)
{
    // Set before anything can be read, so a handshake that finishes at once
    // still finds it to clear; its timer is armed once the session is in use.
    session->SetDeadline(handshake_deadline_ms, VeskMessageSystem::VESK_END_HANDSHAKE_DEADLINE);
    if (!session->Publish())
        return nullptr;
    const bool armed = vesk::net::ArmWhileInUse(
        *session,
        [session] {
            session->SetLibEventRead(EV_READ | EV_PERSIST, event_read, session);
            session->SetDeadlineTimer();
            return session->AddLibEventRead(nullptr);
        },
        [session] { session->DelLibEventRead(); });
    if (!armed) {
        session->SetUsed(false);
        return nullptr;
    }
    session->ArmDeadlineTimer();
    return session;
}

CVeskNetworkSession* CVeskNetworkSessionManager::Connect(const char* hostname, const char* service,
                                                         ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam)
{
    return Connect(false, hostname, service, cbfunc_Event, cbfunc_EventParam);
}

CVeskNetworkSession* CVeskNetworkSessionManager::ConnectSecure(const char* hostname, const char* service,
                                                               ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam)
{
    return Connect(true, hostname, service, cbfunc_Event, cbfunc_EventParam);
}

int CVeskNetworkSessionManager::Close(CVeskNetworkSession* session)
{
    if (session == nullptr)
        return 0;
    session->close();
    session->SetUsed(false);
    return 1;
}

}  // namespace VeskNetworkSystem

int nslookup(const char* hostname, in_addr* ipaddr)
{
    if (hostname == nullptr || ipaddr == nullptr)
        return 0;
    const in_addr_t numeric = inet_addr(hostname);
    if (numeric != INADDR_NONE) {
        ipaddr->s_addr = numeric;
        return 1;
    }
    // getaddrinfo keeps its result per call, unlike the shared storage of
    // the older resolver calls, so concurrent lookups do not disturb each other.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(hostname, nullptr, &hints, &addresses) != 0)
        return 0;
    int stored = 0;
    for (const addrinfo* entry = addresses; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in address;
        std::memcpy(&address, entry->ai_addr, sizeof address);
        *ipaddr = address.sin_addr;
        stored = 1;
    }
    freeaddrinfo(addresses);
    return stored;
}
