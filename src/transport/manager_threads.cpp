// The manager's two threads: the event loop thread, which watches every
// socket, and the parse thread, which cuts records out of the sessions'
// socket rings and sleeps while there is nothing to parse.
#include <event2/event.h>

#include <functional>
#include <system_error>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {
namespace {

// The manager whose thread this is, if any.
thread_local const CVeskNetworkSessionManager* t_owner = nullptr;
// The manager whose Connect runs on this thread, if any.
thread_local const CVeskNetworkSessionManager* t_connecting = nullptr;
// A manager that a handler on this thread disposed of, waiting for this
// thread to leave its work.
thread_local CVeskNetworkSessionManager* t_disposed = nullptr;

// Starts `body` on `thread` unless it runs already: 1 when it runs, 0 when it
// may not start (`may_start` false) or the system cannot start it. Under the
// manager's thread start mutex.
int StartOnce(std::thread& thread, bool may_start, void* (*body)(LPVOID), CVeskNetworkSessionManager* manager)
{
    if (thread.joinable())
        return 1;
    if (!may_start)
        return 0;
    try {
        thread = std::thread(body, manager);
    } catch (const std::system_error&) {
        return 0;
    }
    return 1;
}

}  // namespace

bool CVeskNetworkSessionManager::IsOwnThread() const
{
    return t_owner == this;
}

void CVeskNetworkSessionManager::Dispose(CVeskNetworkSessionManager* manager)
{
    if (manager == nullptr)
        return;
    manager->m_bDisposing = true;
    if (!manager->IsOwnThread() && t_connecting != manager) {
        delete manager;
        return;
    }
    // Pools released from inside their work are kept until the manager goes.
    manager->ReleaseSessions();
    manager->ReleaseListenSessions();
    manager->ReleaseUDPSessions();
    manager->StopThreads();
    t_disposed = manager;
}

bool CVeskNetworkSessionManager::DisposedOnThisThread()
{
    return t_disposed != nullptr;
}

void CVeskNetworkSessionManager::DeleteIfDisposedHere(CVeskNetworkSessionManager* manager)
{
    if (t_disposed != manager)
        return;
    t_disposed = nullptr;
    delete manager;
}

CVeskNetworkSessionManager::ConnectScope::ConnectScope(CVeskNetworkSessionManager* manager)
    : m_Manager(manager), m_Previous(t_connecting)
{
    t_connecting = manager;
}

CVeskNetworkSessionManager::ConnectScope::~ConnectScope()
{
    t_connecting = m_Previous;
    // Only the outermost of the manager's work on this thread may delete it.
    if (m_Previous != m_Manager && !m_Manager->IsOwnThread())
        DeleteIfDisposedHere(m_Manager);
}

int CVeskNetworkSessionManager::InitLibEvent()
{
    return m_EventBase != nullptr ? 1 : 0;
}

int CVeskNetworkSessionManager::DispatchLibEvent()
{
    std::lock_guard<std::mutex> lock(m_ThreadStartMutex);
    return StartOnce(m_hLibEventThread, m_EventBase != nullptr && !m_bStopping, DispatchLibEventThreadFunc, this);
}

int CVeskNetworkSessionManager::CreateParseRecvSocketBufferThread()
{
    std::lock_guard<std::mutex> lock(m_ThreadStartMutex);
    return StartOnce(m_ParseRecvSocketBufferThreadHandle, !m_bStopping, ParseRecvSocketBufferThreadFunc, this);
}

bool CVeskNetworkSessionManager::CanHandshakeProgress()
{
    std::lock_guard<std::mutex> lock(m_ThreadStartMutex);
    return !m_bStopping && m_hLibEventThread.joinable() && m_ParseRecvSocketBufferThreadHandle.joinable();
}

void CVeskNetworkSessionManager::SuspendParseRecvSocketBufferThread()
{
    std::unique_lock<std::mutex> lock(m_ParseRecvSocketBufferThreadMutex);
    m_bParseThreadIdle = true;
    m_ParseRecvSocketBufferThreadCond.wait(
        lock, [this] { return (m_bParseWakeUpPending && !m_bParsingOnLoopThread) || m_bStopping; });
    m_bParseThreadIdle = false;
    m_bParseWakeUpPending = false;
}

void CVeskNetworkSessionManager::ResumeParseRecvSocketBufferThread()
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_ParseRecvSocketBufferThreadMutex);
        m_bParseWakeUpPending = true;
        // The loop thread wakes it once it has finished parsing.
        wake = !m_bParsingOnLoopThread || m_bStopping;
    }
    if (wake)
        m_ParseRecvSocketBufferThreadCond.notify_one();
}

bool CVeskNetworkSessionManager::ParseOnLoopThread(CVeskNetworkSession& session)
{
    // Other ready events mean a burst: the parse thread takes this session's
    // records while the loop thread goes on reading the others.
    if (!m_bLoopThreadMayParse.load(std::memory_order_relaxed) ||
        event_base_get_num_events(m_EventBase, EVENT_BASE_COUNT_ACTIVE) > 0)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_ParseRecvSocketBufferThreadMutex);
        if (!m_bParseThreadIdle || m_bParseWakeUpPending || m_bStopping)
            return false;
        m_bParsingOnLoopThread = true;
    }
    m_ParsePasses.fetch_add(1, std::memory_order_relaxed);
    ParseSession(session);
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_ParseRecvSocketBufferThreadMutex);
        m_bParsingOnLoopThread = false;
        // Sessions queued meanwhile, this one included when its share was
        // used up, are the parse thread's.
        wake = m_bParseWakeUpPending;
    }
    if (wake)
        m_ParseRecvSocketBufferThreadCond.notify_one();
    return true;
}

// The loop runs whether or not any socket is registered, until the manager
// stops it: sockets armed later are watched all the same.
void* CVeskNetworkSessionManager::DispatchLibEventThreadFunc(LPVOID lpvoid)
{
    auto* manager = static_cast<CVeskNetworkSessionManager*>(lpvoid);
    t_owner = manager;
    while (!manager->m_bStopping)
        event_base_loop(manager->m_EventBase, EVLOOP_NO_EXIT_ON_EMPTY);
    DeleteIfDisposedHere(manager);
    return nullptr;
}

void* CVeskNetworkSessionManager::ParseRecvSocketBufferThreadFunc(LPVOID lpvoid)
{
    auto* manager = static_cast<CVeskNetworkSessionManager*>(lpvoid);
    if (manager == nullptr)
        return nullptr;
    t_owner = manager;
    while (!manager->m_bStopping) {
        if (manager->ParseRecvSocketBuffer() > 0)
            continue;
        manager->SuspendParseRecvSocketBufferThread();
    }
    DeleteIfDisposedHere(manager);
    return nullptr;
}

void CVeskNetworkSessionManager::MarkReadyToParse(CVeskNetworkSession* session)
{
    if (!session->m_bReadyToParse.exchange(true)) {
        std::lock_guard<std::mutex> lock(m_ReadyMutex);
        m_ReadySessions.push_back(session);
    }
    ResumeParseRecvSocketBufferThread();
}

// One pass over the sessions that were queued since the last one. Returns the
// number of sessions that got on. A session that gets new bytes while it is
// being parsed is queued again, so nothing waits for a wake-up that already
// came; one that used up its share of the pass goes to the back of the queue.
int CVeskNetworkSessionManager::ParseRecvSocketBuffer()
{
    m_ParsePasses.fetch_add(1, std::memory_order_relaxed);
    std::vector<CVeskNetworkSession*>& ready = m_SessionsBeingParsed;
    ready.clear();
    {
        std::lock_guard<std::mutex> lock(m_ReadyMutex);
        ready.swap(m_ReadySessions);
    }
    int got_on = 0;
    m_SessionArray.WithArray([&](CVeskNetworkSession* array, int size) {
        for (CVeskNetworkSession* session : ready) {
            // Only sessions of the pool as it is now: a queue entry may
            // outlive a released pool.
            const std::less<const CVeskNetworkSession*> before;
            if (before(session, array) || !before(session, array + size))
                continue;
            session->m_bReadyToParse = false;
            got_on += ParseSession(*session) ? 1 : 0;
        }
    });
    return got_on;
}

bool CVeskNetworkSessionManager::ParseSession(CVeskNetworkSession& session)
{
    CVeskElementEntry entry(&session);
    if (!entry)
        return false;
    const CVeskNetworkSession::ParseOutcome outcome = session.parse_recv_socket_buffer();
    if (session.m_PassRecords > 0) {
        session.NoteRecordsArrived();
        m_Counters.records_received.fetch_add(session.m_PassRecords, std::memory_order_relaxed);
    }
    if (outcome == CVeskNetworkSession::ParseOutcome::kFailed) {
        session.call_cbfunc_Event(NETWORK_EVENT_READ);
        return false;
    }
    // Payload reached the receive ring: one event per pass, however many
    // data records there were. A record with an empty body delivers nothing
    // and raises nothing, so its reader never mistakes it for a closed
    // connection.
    if (session.m_bPassDeliveredPayload)
        session.call_cbfunc_Event(NETWORK_EVENT_READ);
    if (const short end = session.TakeEndToReport())
        session.call_cbfunc_Event(end);
    if (outcome == CVeskNetworkSession::ParseOutcome::kShareUsedUp) {
        MarkReadyToParse(&session);
        return true;
    }
    return session.m_PassRecords > 0;
}

void CVeskNetworkSessionManager::StopThreads()
{
    m_bStopping = true;
    // A loop exit requested before the loop has started is not lost: the
    // thread tests the stopping flag before it enters the loop again.
    if (m_EventBase != nullptr)
        event_base_loopexit(m_EventBase, nullptr);
    ResumeParseRecvSocketBufferThread();
    // A thread cannot join itself: one that stops its own manager (from a
    // handler) is let go instead, and deletes the manager when it ends.
    std::lock_guard<std::mutex> lock(m_ThreadStartMutex);
    for (std::thread* thread : {&m_hLibEventThread, &m_ParseRecvSocketBufferThreadHandle}) {
        if (!thread->joinable())
            continue;
        if (thread->get_id() == std::this_thread::get_id())
            thread->detach();
        else
            thread->join();
    }
}

}  // namespace VeskNetworkSystem
