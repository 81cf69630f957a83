// The order in which bytes leave a session. Records are written at once while
// the socket takes them; what it cannot take waits in the session's backlog
// and the loop thread writes it when the socket has room again. No thread
// blocks in a socket write, so a peer that stops reading holds up only the
// application threads that send to it, never the library's own threads.
#include <event2/event.h>
#include <sys/socket.h>

#include <cerrno>

#include "VeskNetworkSystem.h"
#include "record/failure_reason.h"
#include "record/record_codec.h"
#include "transport/arming.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {
namespace {

// Coalesced records wait for the loop thread until they make this many bytes;
// then their sender writes them.
constexpr size_t kCoalescedBatchBytes = 64 * 1024;
// The part of the backlog that only the library's own threads fill.
constexpr size_t kOwnThreadBacklogReserve = 64 * 1024;

size_t TotalLength(const iovec* parts, size_t count)
{
    size_t length = 0;
    for (size_t i = 0; i < count; ++i)
        length += parts[i].iov_len;
    return length;
}

// Writes what the socket takes now and advances the parts past it: the byte
// count, or -1 when the socket failed.
ssize_t WriteWhatFits(SOCKET s, iovec*& parts, size_t& count, int flags)
{
    size_t total = 0;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        ssize_t written =
            vesk::net::RetryInterrupted([&] { return ::sendmsg(s, &message, flags | MSG_DONTWAIT | MSG_NOSIGNAL); });
        if (written < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return -1;
        }
        total += static_cast<size_t>(written);
        while (count > 0 && static_cast<size_t>(written) >= parts->iov_len) {
            written -= static_cast<ssize_t>(parts->iov_len);
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + written;
            parts->iov_len -= static_cast<size_t>(written);
        }
    }
    return static_cast<ssize_t>(total);
}

}  // namespace

CVeskNetworkSession::WriteResult CVeskNetworkSession::WriteInOrder(std::unique_lock<std::mutex>& lock, iovec* parts,
                                                                   size_t count, int flags, bool coalesce)
{
    if (!WaitForBacklogRoom(lock, TotalLength(parts, count)))
        return WriteResult::kFailed;
    const size_t waiting = m_SendBacklog.size() - m_SendBacklogHead;
    if (waiting == 0 && !coalesce) {
        const ssize_t written = WriteWhatFits(GetSocket(), parts, count, flags);
        if (written < 0) {
            Fail(vesk::net::FailureReason::kWriteFailed);
            m_bSendFailed = true;
            return WriteResult::kFailed;
        }
        CountBytesSent(written);
        if (count == 0)
            return WriteResult::kWritten;
    }
    AppendToBacklog(parts, count);
    // A sender that outruns the loop thread writes the batch itself once it
    // has grown to a good size, so coalesced records never fill the backlog
    // while the socket has room; once, as the batch crosses that size, so a
    // full socket costs no system call per record.
    if (waiting < kCoalescedBatchBytes && m_SendBacklog.size() - m_SendBacklogHead >= kCoalescedBatchBytes &&
        !WriteBacklog(flags))
        return WriteResult::kFailed;
    // Whoever made the backlog non-empty asks the loop thread to write it;
    // the write event stays armed until the backlog is empty again.
    return waiting == 0 ? WriteResult::kQueued : WriteResult::kQueuedBehind;
}

bool CVeskNetworkSession::WriteBacklog(int flags)
{
    iovec waiting{m_SendBacklog.data() + m_SendBacklogHead, m_SendBacklog.size() - m_SendBacklogHead};
    iovec* parts = &waiting;
    size_t count = 1;
    const ssize_t written = WriteWhatFits(GetSocket(), parts, count, flags);
    if (written < 0) {
        // The read path reports the broken connection.
        Fail(vesk::net::FailureReason::kWriteFailed);
        m_bSendFailed = true;
        return false;
    }
    m_SendBacklogHead += static_cast<size_t>(written);
    CountBytesSent(written);
    return true;
}

bool CVeskNetworkSession::WaitForBacklogRoom(std::unique_lock<std::mutex>& lock, size_t length)
{
    const auto gone = [this] { return m_bSendFailed || !IsUsed() || GetSocket() < 0; };
    // Application senders leave the last part of the backlog to the
    // library's own threads, so that an application that keeps it full
    // cannot make a handshake flight or a login answer overflow it.
    const bool own_thread = IsCalledFromOwnThread();
    const size_t limit = own_thread ? kSendBacklogLimit : kSendBacklogLimit - kOwnThreadBacklogReserve;
    const auto fits = [this, length, limit] {
        const size_t waiting = m_SendBacklog.size() - m_SendBacklogHead;
        return waiting == 0 || waiting + length <= limit;
    };
    if (gone())
        return false;
    if (fits())
        return true;
    if (own_thread) {
        // Waiting here would stall every session this thread serves, for a
        // peer that may never read again: the session ends instead, and the
        // read path reports its close like any other.
        Fail(vesk::net::FailureReason::kSendBacklogFull);
        m_bSendFailed = true;
        ::shutdown(GetSocket(), SHUT_RDWR);
        return false;
    }
    // Woken at half the limit rather than at the first free byte, so a
    // sender and the loop thread do not take turns record by record.
    m_SendRoom.wait(lock, [&] { return gone() || m_SendBacklog.size() - m_SendBacklogHead <= kSendBacklogLimit / 2; });
    return !gone();
}

void CVeskNetworkSession::AppendToBacklog(const iovec* parts, size_t count)
{
    // Bytes already written are dropped from the front once they are at least
    // as many as those still waiting: each byte is moved at most once on
    // average, and a backlog in steady use stops allocating.
    if (m_SendBacklogHead > 0 && m_SendBacklogHead >= m_SendBacklog.size() - m_SendBacklogHead) {
        m_SendBacklog.erase(m_SendBacklog.begin(),
                            m_SendBacklog.begin() + static_cast<std::ptrdiff_t>(m_SendBacklogHead));
        m_SendBacklogHead = 0;
    }
    for (size_t i = 0; i < count; ++i) {
        const auto* bytes = static_cast<const unsigned char*>(parts[i].iov_base);
        m_SendBacklog.insert(m_SendBacklog.end(), bytes, bytes + parts[i].iov_len);
    }
}

void CVeskNetworkSession::ArmBacklogFlush()
{
    vesk::net::ArmWhileInUse(
        *this, [this] { return AddLibEventWrite(nullptr); }, [this] { DelLibEventWrite(); });
}

void CVeskNetworkSession::FlushSendBacklog()
{
    std::lock_guard<std::mutex> lock(m_SendMutex);
    if (GetSocket() >= 0 && !m_bSendFailed && m_SendBacklogHead < m_SendBacklog.size() && !WriteBacklog(0))
        DropSendBacklog();
    if (m_SendBacklogHead == m_SendBacklog.size()) {
        m_SendBacklog.clear();
        m_SendBacklogHead = 0;
        // On the loop thread, inside this event's own handler: returns at once.
        DelLibEventWrite();
    }
    m_SendRoom.notify_all();
}

void CVeskNetworkSession::CountBytesSent(ssize_t written)
{
    if (written > 0 && m_Manager != nullptr)
        m_Manager->m_Counters.bytes_sent.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
}

// Once per send call or handshake flight; the flight was built here, and is
// walked by its record headers only.
void CVeskNetworkSession::CountRecordsSent(const unsigned char* records, size_t length)
{
    if (m_Manager == nullptr)
        return;
    vesk::net::ByteReader reader(records, length);
    uint64_t count = 0;
    while (vesk::net::SkipRecord(reader))
        ++count;
    m_Manager->m_Counters.records_sent.fetch_add(count, std::memory_order_relaxed);
}

void CVeskNetworkSession::FlushBacklogBeforeClose()
{
    // Inside the session the descriptor stays this session's, even when
    // another thread releases it meanwhile.
    CVeskElementEntry entry(this);
    if (!entry)
        return;
    std::lock_guard<std::mutex> lock(m_SendMutex);
    if (GetSocket() >= 0 && !m_bSendFailed && m_SendBacklogHead < m_SendBacklog.size())
        WriteBacklog(0);
}

void CVeskNetworkSession::DropSendBacklog()
{
    std::vector<unsigned char>().swap(m_SendBacklog);
    m_SendBacklogHead = 0;
}

}  // namespace VeskNetworkSystem
