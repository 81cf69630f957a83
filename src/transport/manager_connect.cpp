// Opening sessions: accepted from a listener or connected to a named host;
// closing them, and the exported name lookup.
#include <arpa/inet.h>
#include <event2/event.h>
#include <netdb.h>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "transport/arming.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {

// The deadline is set before anything can be read, so a handshake that
// finishes at once still finds it to clear; its timer is armed once the
// session is in use.
template <class SetUp>
CVeskNetworkSession* CVeskNetworkSessionManager::OpenSession(SetUp set_up, uint32_t handshake_deadline_ms)
{
    CVeskNetworkSession* session = nullptr;
    vesk::net::OpenElement(
        m_SessionArray,
        [&](CVeskNetworkSession& claimed) {
            if (!set_up(claimed))
                return false;
            claimed.SetDeadline(handshake_deadline_ms, VeskMessageSystem::VESK_END_HANDSHAKE_DEADLINE);
            return true;
        },
        [](CVeskNetworkSession& opened) {
            opened.SetLibEventRead(EV_READ | EV_PERSIST, event_read, &opened);
            opened.SetDeadlineTimer();
            return opened.AddLibEventRead(nullptr);
        },
        &session);
    if (session != nullptr)
        session->ArmDeadlineTimer();
    return session;
}

CVeskNetworkSession* CVeskNetworkSessionManager::Accept(CVeskNetworkSessionListen* pVeskNetworkSessionListen)
{
    if (pVeskNetworkSessionListen == nullptr)
        return nullptr;
    const auto accept = [pVeskNetworkSessionListen](CVeskNetworkSession& session) {
        if (session.accept(pVeskNetworkSessionListen) < 0)
            return false;
        session.SetCryptoAlgorithm(pVeskNetworkSessionListen->GetCryptoAlgorithm());
        session.CountOpened(true);
        return true;
    };
    return OpenSession(accept, m_HandshakeDeadlineMs.load());
}

CVeskNetworkSession* CVeskNetworkSessionManager::Connect(bool bSecure, const char* hostname, const char* service,
                                                         ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam)
{
    if (hostname == nullptr || service == nullptr)
        return nullptr;
    // Resolved before a session is claimed: a lookup can take long, and a
    // claimed session must be one that a release ends at once.
    const vesk::net::ResolvedAddresses addresses(hostname, service, AF_UNSPEC, SOCK_STREAM);
    if (addresses.First() == nullptr)
        return nullptr;
    unsigned char pinned_key[CVeskNetworkSession::kServerKeyDigestSize];
    std::shared_ptr<CVeskServerKeyPin> known_server;
    const bool pinned = bSecure && FindServerKeyPin(hostname, service, pinned_key, &known_server);
    // The pin, or else the known-servers entry to learn, is set before the
    // handshake starts.
    const auto connect = [&](CVeskNetworkSession& session) {
        if (pinned)
            session.PinServerKey(pinned_key);
        else if (known_server)
            session.LearnServerKey(std::move(known_server));
        return session.ConnectTo(addresses.First(), bSecure, cbfunc_Event, cbfunc_EventParam) >= 0;
    };
    CVeskNetworkSession* session = nullptr;
    {
        // The pool is read for the whole connect: a release of it from the
        // connect event's handler then keeps the array instead of waiting for
        // the session this thread holds.
        const ConnectScope scope(this);
        m_SessionArray.WithArray([&](CVeskNetworkSession*, int) { session = OpenSession(connect, 0); });
    }
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
    const vesk::net::ResolvedAddresses addresses(hostname, nullptr, AF_INET, SOCK_STREAM);
    int stored = 0;
    for (const addrinfo* entry = addresses.First(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in address;
        std::memcpy(&address, entry->ai_addr, sizeof address);
        *ipaddr = address.sin_addr;
        stored = 1;
    }
    return stored;
}
