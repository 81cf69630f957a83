// The deadlines and limits a system applies to its sessions.
#include <sys/socket.h>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

tagVeskMessageSystemLimits VeskMessageSystemDefaultLimits()
{
    tagVeskMessageSystemLimits limits{};
    limits.m_handshake_deadline_ms = 30000;
    limits.m_connect_deadline_ms = 30000;
    limits.m_idle_deadline_ms = 0;
    limits.m_max_refused_logins = 3;
    limits.m_listen_backlog = SOMAXCONN;
    limits.m_require_login = false;
    limits.m_login_deadline_ms = 30000;
    return limits;
}

int CVeskMessageSystem::set_limits(const tagVeskMessageSystemLimits& limits)
{
    if (limits.m_listen_backlog < 0)
        return 0;
    std::lock_guard<std::mutex> lock(m_LimitsMutex);
    m_Limits = limits;
    m_bRequireLogin.store(limits.m_require_login, std::memory_order_relaxed);
    if (m_nsm != nullptr)
        m_nsm->SetDeadlines(limits.m_handshake_deadline_ms, limits.m_connect_deadline_ms, limits.m_idle_deadline_ms);
    return 1;
}

tagVeskMessageSystemLimits CVeskMessageSystem::get_limits() const
{
    std::lock_guard<std::mutex> lock(m_LimitsMutex);
    return m_Limits;
}

}  // namespace VeskMessageSystem
