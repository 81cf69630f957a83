// Arming an element's event after it was published races with a release on
// another thread. The release marks the element before it disarms, and the
// arming thread arms before it looks at the mark, so one of the two always
// sees the other: an element released meanwhile is disarmed again here.
#ifndef VESK_NET_ARMING_H
#define VESK_NET_ARMING_H

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

}  // namespace vesk::net

#endif
