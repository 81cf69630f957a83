// Opening, arming and closing pool elements. An opener claims a free element,
// sets it up, publishes it and arms its events; arming after the publish races
// with a release on another thread. The release marks the element before it
// disarms, and the arming thread arms before it looks at the mark, so one of
// the two always sees the other: an element released meanwhile is disarmed
// again here.
#ifndef VESK_TRANSPORT_ARMING_H
#define VESK_TRANSPORT_ARMING_H

#include <cerrno>
#include <cstring>

#include "VeskNetworkSystem.h"

namespace vesk::net {

template <class Element, class Arm, class Disarm>
bool ArmWhileInUse(Element& element, Arm arm, Disarm disarm)
{
    VeskNetworkSystem::CVeskElementEntry entry(&element);
    if (!entry)
        return false;
    if (arm() == -1)
        return false;
    if (!element.IsUsed() || element.GetSocket() < 0) {
        disarm();
        return false;
    }
    return true;
}

enum class Opening { kOpened, kNoneFree, kFailed };

// Claims a free element of the pool, sets it up (false: the claim is given
// up, with the set-up's errno kept for the caller), publishes it and arms its
// events (-1: failed). An element released meanwhile, or whose arming failed,
// is not opened. `opened` receives the element opened, else null.
template <class Element, class SetUp, class Arm>
Opening OpenElement(VeskNetworkSystem::CVeskPool<Element>& pool, SetUp set_up, Arm arm, Element** opened = nullptr)
{
    if (opened != nullptr)
        *opened = nullptr;
    Element* element = pool.Claim();
    if (element == nullptr)
        return Opening::kNoneFree;
    if (!set_up(*element)) {
        const int error = errno;
        element->AbandonClaim();
        errno = error;
        return Opening::kFailed;
    }
    if (!element->Publish())
        return Opening::kFailed;
    VeskNetworkSystem::CVeskPoolElement& base = *element;
    if (!ArmWhileInUse(
            *element, [&] { return arm(*element); }, [&] { base.DisarmEvents(); })) {
        element->SetUsed(false);
        return Opening::kFailed;
    }
    if (opened != nullptr)
        *opened = element;
    return Opening::kOpened;
}

// Service names live in 32-byte fields; a longer one could not be matched
// when it is closed again.
inline bool ServiceNameFits(const char* service)
{
    constexpr size_t kCapacity = VeskNetworkSystem::CVeskNetworkSessionListen::kServiceCapacity;
    static_assert(kCapacity == VeskNetworkSystem::CVeskNetworkUDPSession::kServiceCapacity, "one service field size");
    return service != nullptr && strnlen(service, kCapacity) < kCapacity;
}

// Closes and releases every element in use whose service, as `service_of`
// names it (null: none), is `service`.
template <class Element, class ServiceOf, class Close>
void CloseByService(VeskNetworkSystem::CVeskPool<Element>& pool, const char* service, ServiceOf service_of, Close close)
{
    if (service == nullptr)
        return;
    pool.ForEach([&](Element& element) {
        {
            VeskNetworkSystem::CVeskElementEntry entry(&element);
            const char* served = entry ? service_of(element) : nullptr;
            if (served == nullptr || std::strcmp(served, service) != 0)
                return;
        }
        close(element);
        element.SetUsed(false);
    });
}

}  // namespace vesk::net

#endif
