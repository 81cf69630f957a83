// A session's deadlines: one libevent timer per session on the loop thread,
// armed for the earliest deadline and checked again when it fires. Records
// only store the time they came, so the idle deadline costs the parse path
// no timer operation.
#include <event2/event.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "transport/arming.h"

namespace VeskNetworkSystem {
namespace {

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void CVeskNetworkSession::SetDeadline(uint32_t ms, int reason)
{
    if (ms == 0) {
        ClearDeadline();
        return;
    }
    // The reason first: a timer that sees the new time sees its reason too.
    m_DeadlineReason.store(reason, std::memory_order_release);
    m_DeadlineAt.store(NowMs() + ms, std::memory_order_release);
    ArmDeadlineTimer();
}

void CVeskNetworkSession::WatchIdle(uint32_t ms)
{
    if (ms == 0)
        return;
    m_LastRecordAt.store(NowMs(), std::memory_order_relaxed);
    m_IdleDeadlineMs.store(ms, std::memory_order_release);
    ArmDeadlineTimer();
}

void CVeskNetworkSession::NoteRecordsArrived()
{
    if (m_IdleDeadlineMs.load(std::memory_order_relaxed) != 0)
        m_LastRecordAt.store(NowMs(), std::memory_order_relaxed);
}

void CVeskNetworkSession::SetDeadlineTimer()
{
    m_DeadlineTimer.Set(m_EventBase, -1, 0, CVeskNetworkSessionManager::event_deadline, this);
}

int64_t CVeskNetworkSession::UntilNextDeadline() const
{
    int64_t next = m_DeadlineAt.load(std::memory_order_acquire);
    const uint32_t idle = m_IdleDeadlineMs.load(std::memory_order_acquire);
    if (idle != 0) {
        const int64_t idle_due = m_LastRecordAt.load(std::memory_order_relaxed) + idle;
        next = next == 0 ? idle_due : std::min(next, idle_due);
    }
    return next == 0 ? -1 : std::max<int64_t>(0, next - NowMs());
}

bool CVeskNetworkSession::DeadlinePassed() const
{
    return UntilNextDeadline() == 0;
}

int CVeskNetworkSession::PassedDeadlineReason() const
{
    const int64_t at = m_DeadlineAt.load(std::memory_order_acquire);
    if (at != 0 && at <= NowMs())
        return m_DeadlineReason.load(std::memory_order_acquire);
    return VeskMessageSystem::VESK_END_IDLE_DEADLINE;
}

// Armed under the deadline mutex, so that of two threads arming at once the
// later one has seen every deadline the earlier one saw; a session released
// meanwhile has its timer deleted again, outside the mutex.
void CVeskNetworkSession::ArmDeadlineTimer()
{
    vesk::net::ArmWhileInUse(
        *this,
        [this] {
            std::lock_guard<std::mutex> lock(m_DeadlineMutex);
            const int64_t wait = UntilNextDeadline();
            if (wait < 0)
                return 0;
            const timeval delay{static_cast<time_t>(wait / 1000), static_cast<suseconds_t>(wait % 1000 * 1000)};
            return m_DeadlineTimer.Add(&delay);
        },
        [this] { m_DeadlineTimer.Del(); });
}

// As a send backlog over its limit does: the read path then reports the
// close like any other, after the records that came before it, with the
// deadline as the reason.
void CVeskNetworkSession::EndByDeadline()
{
    NoteEndReason(PassedDeadlineReason());
    ::shutdown(GetSocket(), SHUT_RDWR);
}

void CVeskNetworkSessionManager::SetDeadlines(uint32_t handshake_ms, uint32_t connect_ms, uint32_t idle_ms)
{
    m_HandshakeDeadlineMs.store(handshake_ms);
    m_ConnectDeadlineMs.store(connect_ms);
    m_IdleDeadlineMs.store(idle_ms);
}

void CVeskNetworkSessionManager::event_deadline(int /*sockfd*/, short libevent, void* argv)
{
    auto* session = static_cast<CVeskNetworkSession*>(argv);
    if ((libevent & EV_TIMEOUT) == 0 || session == nullptr)
        return;
    CVeskElementEntry entry(session);
    if (!entry)
        return;
    if (session->DeadlinePassed())
        session->EndByDeadline();
    else
        session->ArmDeadlineTimer();
}

}  // namespace VeskNetworkSystem
