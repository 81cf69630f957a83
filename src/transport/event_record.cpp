// One libevent registration of a socket object: prepared, armed and disarmed.
#include <event2/event.h>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

CVeskEventRecord::CVeskEventRecord() : m_Event(), m_bPrepared(false), m_bArmed(false) {}

void CVeskEventRecord::Set(event_base* base, SOCKET fd, short libevent, ty_libevent_handler fn, void* arg)
{
    // An armed record must not be reassigned: libevent would lose track of it.
    const bool timer = (libevent & (EV_READ | EV_WRITE)) == 0;
    if (base == nullptr || (fd < 0 && !timer) || IsArmed())
        return;
    m_bPrepared = event_assign(&m_Event, base, fd, libevent, fn, arg) == 0;
}

int CVeskEventRecord::Add(const timeval* tv)
{
    if (!m_bPrepared)
        return -1;
    // Added before it is marked armed: a concurrent Del that sees the mark
    // finds the event added, and one that does not leaves it to the arming
    // thread, which checks the element after arming.
    const int result = event_add(&m_Event, tv);
    if (result == 0)
        m_bArmed.store(true);
    return result;
}

// From a thread other than the loop's, event_del waits for a callback of this
// event that is running, so after it returns no callback of it runs; callers
// therefore hold no lock that a callback could need.
int CVeskEventRecord::Del()
{
    bool armed = true;
    if (!m_bArmed.compare_exchange_strong(armed, false, std::memory_order_seq_cst))
        return -1;
    return event_del(&m_Event);
}

}  // namespace VeskNetworkSystem
