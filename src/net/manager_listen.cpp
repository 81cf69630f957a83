// Listening on a service and accepting its connections into free sessions.
#include <event2/event.h>
#include <netdb.h>

#include "VeskNetworkSystem.h"
#include "net/arming.h"

namespace VeskNetworkSystem {
namespace {

// Service names live in 32-byte fields; a longer one could not be matched
// when it is closed again.
bool ServiceNameFits(const char* service)
{
    return service != nullptr && strnlen(service, CVeskNetworkSessionListen::kServiceCapacity) <
                                     static_cast<size_t>(CVeskNetworkSessionListen::kServiceCapacity);
}

}  // namespace

int CVeskNetworkSessionManager::Listen(const char* service, int family, int backlog, ty_cbfunc_Event cbfunc_Event,
                                       void* cbfunc_EventParam, eCryptoAlgorithm CryptoAlgorithm)
{
    if (!ServiceNameFits(service))
        return 0;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(nullptr, service, &hints, &addresses) != 0)
        return 0;

    const int capacity = m_SessionListenArray.Size();
    // Without a listener element nothing can listen.
    int result = capacity > 0 ? 1 : 0;
    int nsocks = 0;
    for (addrinfo* entry = addresses; entry != nullptr && nsocks < capacity; entry = entry->ai_next) {
        CVeskNetworkSessionListen* listener = m_SessionListenArray.Claim();
        if (listener == nullptr) {
            result = 0;
            break;
        }
        if (listener->Listen(entry, family, backlog, cbfunc_Event, cbfunc_EventParam, CryptoAlgorithm) < 0) {
            listener->AbandonClaim();
            continue;
        }
        listener->SetListenService(service);
        if (!listener->Publish())
            continue;
        const bool armed = vesk::net::ArmWhileInUse(
            *listener,
            [listener] {
                listener->SetLibEvent(EV_READ, event_accept, listener);
                return listener->AddLibEvent(nullptr);
            },
            [listener] { listener->DelLibEvent(); });
        if (armed)
            ++nsocks;
        else
            listener->SetUsed(false);
    }
    freeaddrinfo(addresses);
    return result;
}

void CVeskNetworkSessionManager::CloseListen(const char* service)
{
    if (service == nullptr)
        return;
    m_SessionListenArray.ForEach([service](CVeskNetworkSessionListen& listener) {
        {
            CVeskElementEntry entry(&listener);
            if (!entry || std::strcmp(listener.GetListenService(), service) != 0)
                return;
        }
        listener.Close();
        listener.SetUsed(false);
    });
}

CVeskNetworkSession* CVeskNetworkSessionManager::Accept(CVeskNetworkSessionListen* pVeskNetworkSessionListen)
{
    if (pVeskNetworkSessionListen == nullptr)
        return nullptr;
    CVeskNetworkSession* session = m_SessionArray.Claim();
    if (session == nullptr)
        return nullptr;
    if (session->accept(pVeskNetworkSessionListen) < 0) {
        session->AbandonClaim();
        return nullptr;
    }
    session->SetCryptoAlgorithm(pVeskNetworkSessionListen->GetCryptoAlgorithm());
    return PublishAndWatch(session);
}

}  // namespace VeskNetworkSystem
