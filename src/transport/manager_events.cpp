// The event loop's handlers. Each registration carries its socket object as
// argument; a handler works only inside an element that is still in use and
// still holds the descriptor the event was for.
#include <event2/event.h>

#include <cerrno>

#include "VeskNetworkSystem.h"
#include "transport/arming.h"

namespace VeskNetworkSystem {
namespace {

// Connections one readiness of a listener takes at most.
constexpr int kAcceptsPerReadiness = 64;

// How long an accept that found no descriptor waits before it tries again.
constexpr timeval kAcceptRetryDelay{0, 50 * 1000};

// An accept that failed for lack of descriptors or kernel memory leaves the
// connection queued, so the listener stays readable.
bool LacksResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The accept event stays armed while the listener accepts; it is disarmed
// only while the listener waits for a session or a descriptor, and armed
// again by what ends the wait. A listener closed meanwhile is disarmed again
// instead.
void RearmAccept(CVeskNetworkSessionListen& listener)
{
    vesk::net::ArmWhileInUse(
        listener, [&listener] { return listener.AddLibEvent(nullptr); }, [&listener] { listener.DelLibEvent(); });
}

// Runs `handle` on the element an event was registered with when the event is
// the one awaited, inside the element, while it still holds the descriptor the
// event was for.
template <class Element, class Handle>
void InsideElement(void* argv, short libevent, short awaited, int sockfd, Handle handle)
{
    auto* element = static_cast<Element*>(argv);
    if ((libevent & awaited) == 0 || element == nullptr)
        return;
    CVeskElementEntry entry(element);
    if (entry && element->GetSocket() == sockfd)
        handle(*element);
}

}  // namespace

void CVeskNetworkSessionManager::event_read(int sockfd, short libevent, void* argv)
{
    InsideElement<CVeskNetworkSession>(argv, libevent, EV_READ, sockfd, [](CVeskNetworkSession& session) {
        // Every event after the accept is raised by the pass that parses the
        // session, in the order the records and the end of the stream came:
        // records read before an end of stream or a failed read are delivered
        // before it is reported.
        const int n = session.recv();
        if (n == 0 || (n < 0 && n != CVeskNetworkSession::kNothingToRead))
            session.MarkEndOfStream(n < 0);
        CVeskNetworkSessionManager* manager = session.m_Manager;
        if (!manager->ParseOnLoopThread(session))
            manager->MarkReadyToParse(&session);
    });
}

// A burst of connections is taken at once, up to a bound per readiness so
// that the loop's other events run between batches; a listener with more
// queued stays readable and fires again.
void CVeskNetworkSessionManager::event_accept(int sockfd, short libevent, void* argv)
{
    auto* listener = static_cast<CVeskNetworkSessionListen*>(argv);
    if ((libevent & EV_READ) == 0 || listener == nullptr)
        return;
    CVeskElementEntry entry(listener);
    if (!entry || listener->GetSocket() != sockfd)
        return;
    CVeskNetworkSessionManager* manager = listener->m_Manager;
    for (int taken = 0; taken < kAcceptsPerReadiness; ++taken) {
        errno = 0;
        if (CVeskNetworkSession* session = manager->Accept(listener)) {
            CVeskElementEntry accepted(session);
            if (accepted)
                session->call_cbfunc_Event(NETWORK_EVENT_ACCEPT);
            // The handler may have closed the listener or deleted the system.
            if (DisposedOnThisThread() || !listener->IsUsed())
                return;
            continue;
        }
        if (LacksResources(errno)) {
            // Accepting again at once would spin the loop until a descriptor
            // is freed somewhere: the timer arms the accept event again
            // instead. A session that becomes free does not, since giving up
            // a claim frees one too, and two starved listeners would wake
            // each other forever.
            listener->DelLibEvent();
            vesk::net::ArmWhileInUse(
                *listener, [listener] { return listener->AddAcceptRetry(&kAcceptRetryDelay); },
                [listener] { listener->DelAcceptRetry(); });
            return;
        }
        if (!manager->m_SessionArray.HasFree()) {
            // Every session is taken: the connection waits in the kernel's
            // queue and the listener waits for a session to free instead of
            // firing on every loop pass. A session freed meanwhile is not
            // missed: the pause is set before the pool is looked at again.
            listener->DelLibEvent();
            listener->m_bAcceptPaused = true;
            if (manager->m_SessionArray.HasFree() && listener->m_bAcceptPaused.exchange(false))
                RearmAccept(*listener);
        }
        // The queue is empty, its first connection failed, or the listener
        // waits for a session: the event stays as it is.
        return;
    }
}

void CVeskNetworkSessionManager::event_accept_retry(int /*sockfd*/, short libevent, void* argv)
{
    auto* listener = static_cast<CVeskNetworkSessionListen*>(argv);
    if ((libevent & EV_TIMEOUT) == 0 || listener == nullptr)
        return;
    CVeskElementEntry entry(listener);
    if (entry)
        RearmAccept(*listener);
}

void CVeskNetworkSessionManager::event_write(int sockfd, short libevent, void* argv)
{
    // The write event is armed only while a backlog waits; it raises no
    // session event.
    InsideElement<CVeskNetworkSession>(argv, libevent, EV_WRITE, sockfd,
                                       [](CVeskNetworkSession& session) { session.FlushSendBacklog(); });
}

void CVeskNetworkSessionManager::udp_event_read(int sockfd, short libevent, void* argv)
{
    InsideElement<CVeskNetworkUDPSession>(argv, libevent, EV_READ, sockfd, [sockfd](CVeskNetworkUDPSession& datagram) {
        datagram.call_cbfunc_UDPEvent(NETWORK_EVENT_READ);
        // The callback may have closed the socket, or its number may belong
        // to another socket by now: only a socket still open is watched again.
        if (datagram.GetSocket() == sockfd)
            vesk::net::ArmWhileInUse(
                datagram, [&datagram] { return datagram.AddLibEventRead(nullptr); },
                [&datagram] { datagram.DelLibEventRead(); });
    });
}

void CVeskNetworkSessionManager::udp_event_write(int sockfd, short libevent, void* argv)
{
    InsideElement<CVeskNetworkUDPSession>(argv, libevent, EV_WRITE, sockfd, [](CVeskNetworkUDPSession& datagram) {
        datagram.call_cbfunc_UDPEvent(NETWORK_EVENT_WRITE);
    });
}

void CVeskNetworkSessionManager::NotifySessionStateChanged()
{
    // Taking the lock orders the change before the wake-up, so a waiter that
    // has just tested the old state cannot miss it.
    {
        std::lock_guard<std::mutex> lock(m_SessionStateMutex);
    }
    m_SessionStateChanged.notify_all();
}

void CVeskNetworkSessionManager::ResumePausedAccepts()
{
    m_SessionListenArray.ForEach([](CVeskNetworkSessionListen& listener) {
        if (listener.m_bAcceptPaused.exchange(false))
            RearmAccept(listener);
    });
}

}  // namespace VeskNetworkSystem
