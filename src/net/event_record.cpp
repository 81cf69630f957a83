#include <event2/event.h>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

CVeskEventRecord::CVeskEventRecord() : m_event(), m_bPrepared(false), m_bArmed(false) {}

void CVeskEventRecord::Set(event_base* base, SOCKET fd, short libevent, ty_libevent_handler fn, void* arg)
{
    // An armed record must not be reassigned: libevent would lose track of it.
    if (base == nullptr || IsArmed())
        return;
    m_bPrepared = event_assign(&m_event, base, fd, libevent, fn, arg) == 0;
}

int CVeskEventRecord::Add(const timeval* tv)
{
    if (!m_bPrepared)
        return -1;
    m_bArmed.store(true, std::memory_order_release);
    return event_add(&m_event, tv);
}

int CVeskEventRecord::Del()
{
    bool armed = true;
    if (!m_bArmed.compare_exchange_strong(armed, false, std::memory_order_acq_rel))
        return -1;
    return event_del(&m_event);
}

}  // namespace VeskNetworkSystem
