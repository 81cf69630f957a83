// The session manager's construction and destruction, its three pools and its log function.
#include <event2/event.h>
#include <event2/thread.h>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {
namespace {

// libevent's lock callbacks are process-wide and must be installed before any
// base exists, so that registrations from other threads wake the loop.
void EnableLibeventThreads()
{
    static std::once_flag once;
    std::call_once(once, [] { evthread_use_pthreads(); });
}

}  // namespace

CVeskNetworkSessionManager::CVeskNetworkSessionManager()
    : m_EventBase(nullptr),
      m_bParseWakeUpPending(false),
      m_bStopping(false),
      m_ParsePasses(0),
      m_HandshakeDeadlineMs(0),
      m_ConnectDeadlineMs(0),
      m_IdleDeadlineMs(0)
{
    EnableLibeventThreads();
    m_EventBase = event_base_new();
}

// Sessions are released first, so that work blocked on them ends; then the
// threads stop, and only then does the event base go.
CVeskNetworkSessionManager::~CVeskNetworkSessionManager()
{
    m_bDisposing = true;
    ReleaseSessions();
    ReleaseListenSessions();
    ReleaseUDPSessions();
    StopThreads();
    if (m_EventBase != nullptr)
        event_base_free(m_EventBase);
}

int CVeskNetworkSessionManager::CreateSessions(int session_max)
{
    return m_SessionArray.Create(session_max,
                                 [this](CVeskNetworkSession& session) { session.SetOwner(this, m_EventBase); });
}

int CVeskNetworkSessionManager::CreateListenSessions(int listen_session_max)
{
    return m_SessionListenArray.Create(
        listen_session_max, [this](CVeskNetworkSessionListen& listener) { listener.SetOwner(this, m_EventBase); });
}

int CVeskNetworkSessionManager::CreateUDPSessions(int udp_session_max)
{
    return m_UDPSessionArray.Create(udp_session_max,
                                    [this](CVeskNetworkUDPSession& datagram) { datagram.SetOwner(this, m_EventBase); });
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

void CVeskNetworkSessionManager::SetLogFunction(ty_LogFunction function, void* context)
{
    std::lock_guard<std::mutex> lock(m_LogMutex);
    m_LogFunction = function;
    m_LogContext = context;
}

void CVeskNetworkSessionManager::Log(int level, const char* text)
{
    ty_LogFunction function = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_LogMutex);
        function = m_LogFunction;
        context = m_LogContext;
    }
    if (function != nullptr)
        function(context, level, text);
}

}  // namespace VeskNetworkSystem
