// Listening on a service: a listener per resolved address, and closing them.
#include <arpa/inet.h>
#include <event2/event.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "transport/arming.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {
namespace {

// The port of an IPv4 or IPv6 address in host order; 0 for other families.
uint16_t PortOf(const sockaddr* address)
{
    if (address->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    if (address->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    return 0;
}

}  // namespace

int CVeskNetworkSessionManager::Listen(const char* service, int family, int backlog, ty_cbfunc_Event cbfunc_Event,
                                       void* cbfunc_EventParam, eCryptoAlgorithm CryptoAlgorithm)
{
    if (!vesk::net::ServiceNameFits(service))
        return 0;
    const vesk::net::ResolvedAddresses addresses(nullptr, service, family, SOCK_STREAM);
    if (addresses.First() == nullptr)
        return 0;

    std::shared_ptr<const vesk::crypto::ServerKeyPair> key;
    {
        std::lock_guard<std::mutex> lock(m_ServerKeysMutex);
        key = m_ServerKey;
    }
    const int capacity = m_SessionListenArray.Size();
    // Without a listener element nothing can listen.
    int result = capacity > 0 ? 1 : 0;
    int nsocks = 0;
    const auto arm = [](CVeskNetworkSessionListen& listener) {
        listener.SetLibEvent(EV_READ | EV_PERSIST, event_accept, &listener);
        listener.SetAcceptRetry(event_accept_retry, &listener);
        return listener.AddLibEvent(nullptr);
    };
    for (addrinfo* entry = addresses.First(); entry != nullptr && nsocks < capacity; entry = entry->ai_next) {
        SOCKET s = -1;
        const auto set_up = [&](CVeskNetworkSessionListen& listener) {
            s = listener.Listen(entry, family, backlog, cbfunc_Event, cbfunc_EventParam, CryptoAlgorithm, key.get());
            if (s >= 0)
                listener.SetListenService(service);
            return s >= 0;
        };
        const vesk::net::Opening opening = vesk::net::OpenElement(m_SessionListenArray, set_up, arm);
        if (opening == vesk::net::Opening::kNoneFree) {
            result = 0;
            break;
        }
        if (opening == vesk::net::Opening::kOpened)
            ++nsocks;
        else if (s < 0)
            LogListenFailure(entry->ai_addr, s == CVeskNetworkSessionListen::kKeyGenerationFailed ? 0 : errno);
    }
    const uint16_t port = PortOf(addresses.First()->ai_addr);
    // Listening again on a port this manager already listens on changes
    // nothing and succeeds; a port nothing of ours listens on after the call
    // (another socket holds it, say) is a failure, not a success.
    if (nsocks == 0 && result == 1 && (port == 0 || !IsListeningOn(port)))
        return 0;
    return result;
}

// A port this manager listens on already is no failure: listening again
// changes nothing and succeeds.
void CVeskNetworkSessionManager::LogListenFailure(const sockaddr* address, int error)
{
    if (error == EADDRINUSE && IsListeningOn(PortOf(address)))
        return;
    const vesk::net::AddressText where(address);
    char buffer[128];
    // GNU strerror_r: the text may or may not be in the buffer.
    const char* reason = error != 0 ? strerror_r(error, buffer, sizeof buffer) : "key generation failed";
    char line[256];
    std::snprintf(line, sizeof line, "listen on %s: %s", where.text, reason);
    Log(VeskMessageSystem::VESK_LOG_ERROR, line);
}

bool CVeskNetworkSessionManager::IsListeningOn(uint16_t port)
{
    bool listening = false;
    m_SessionListenArray.ForEach([port, &listening](CVeskNetworkSessionListen& listener) {
        CVeskElementEntry entry(&listener);
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (entry && getsockname(listener.GetSocket(), reinterpret_cast<sockaddr*>(&bound), &length) == 0 &&
            PortOf(reinterpret_cast<const sockaddr*>(&bound)) == port)
            listening = true;
    });
    return listening;
}

void CVeskNetworkSessionManager::CloseListen(const char* service)
{
    vesk::net::CloseByService(
        m_SessionListenArray, service, [](CVeskNetworkSessionListen& listener) { return listener.GetListenService(); },
        [](CVeskNetworkSessionListen& listener) { listener.Close(); });
}

}  // namespace VeskNetworkSystem
