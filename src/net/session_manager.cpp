#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

CVeskNetworkSessionManager::CVeskNetworkSessionManager() = default;

CVeskNetworkSessionManager::~CVeskNetworkSessionManager()
{
    ReleaseSessions();
    ReleaseListenSessions();
    ReleaseUDPSessions();
}

int CVeskNetworkSessionManager::CreateSessions(int session_max)
{
    return m_SessionArray.Create(session_max);
}

int CVeskNetworkSessionManager::CreateListenSessions(int listen_session_max)
{
    return m_SessionListenArray.Create(listen_session_max);
}

int CVeskNetworkSessionManager::CreateUDPSessions(int udp_session_max)
{
    return m_UDPSessionArray.Create(udp_session_max);
}

void CVeskNetworkSessionManager::ReleaseSessions()
{
    m_SessionArray.Release();
}

void CVeskNetworkSessionManager::ReleaseListenSessions()
{
    m_SessionListenArray.Release();
}

void CVeskNetworkSessionManager::ReleaseUDPSessions()
{
    m_UDPSessionArray.Release();
}

}  // namespace VeskNetworkSystem
