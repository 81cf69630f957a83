// The TCP session object: its setup, release and clearing, its counts, and the end of its handshake.
#include <event2/event.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "VeskMessageSystem.h"
#include "VeskNetworkSystem.h"
#include "crypto/record_cipher.h"
#include "record/failure_reason.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {

CVeskNetworkSession::CVeskNetworkSession()
    : m_ConnectAddr(),
      m_SokcetState(SOCKET_STATE_NORMAL),
      m_Manager(nullptr),
      m_EventBase(nullptr),
      m_cbfunc_Event(nullptr),
      m_cbfunc_EventParam(nullptr),
      m_ExtensionObject(nullptr),
      m_CryptoAlgorithm(CRYPTO_ALGORITHM_NONE),
      m_CryptoStateRecv(CRYPTO_STATE_PLAIN),
      m_CryptoStateSend(CRYPTO_STATE_PLAIN),
      m_FailureReason(vesk::net::FailureReason::kNone),
      m_bReadPaused(false),
      m_bWaitingForRoom(false),
      m_bEndOfStream(false),
      m_bReadFailed(false),
      m_bHandshakeFinished(false),
      m_bHandshakeReported(false),
      m_bReadyToParse(false),
      m_bPassDeliveredPayload(false),
      m_bCloseReported(false),
      m_SendCipher(std::make_unique<vesk::crypto::RecordCipher>()),
      m_SendBacklogHead(0),
      m_bSendFailed(false),
      m_bKeptRecordReleased(false),
      m_RecvCipher(std::make_unique<vesk::crypto::RecordCipher>()),
      m_DeadlineAt(0),
      m_IdleDeadlineMs(0),
      m_LastRecordAt(0)
{
}

CVeskNetworkSession::~CVeskNetworkSession()
{
    SetUsed(false);
}

// A release that no reason was noted for is the application's doing (a
// close, a pool release), or the system's deletion.
void CVeskNetworkSession::SetUsed(bool bFlag)
{
    if (!bFlag) {
        NoteEndReason(m_Manager != nullptr && m_Manager->m_bDisposing.load()
                          ? VeskMessageSystem::VESK_END_SYSTEM_STOPPED
                          : VeskMessageSystem::VESK_END_CLOSED_BY_APPLICATION);
        FlushBacklogBeforeClose();
    }
    StoreUsed(bFlag);
    // Senders waiting for the handshake learn that it will not come.
    if (!bFlag && m_Manager != nullptr)
        m_Manager->NotifySessionStateChanged();
}

sockaddr* CVeskNetworkSession::GetSocketAddr(sockaddr_storage* pSocketAddr)
{
    if (pSocketAddr != nullptr)
        std::memcpy(pSocketAddr, &m_ConnectAddr, sizeof m_ConnectAddr);
    return reinterpret_cast<sockaddr*>(&m_ConnectAddr);
}

void CVeskNetworkSession::close()
{
    if (GetSocket() < 0)
        return;
    FlushBacklogBeforeClose();
    CloseSocket();
    m_SokcetState = SOCKET_STATE_NORMAL;
}

void CVeskNetworkSession::SetLibEventRead(short libevent, ty_libevent_handler fn, void* arg)
{
    m_ConnectLibEventRead.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

void CVeskNetworkSession::SetLibEventWrite(short libevent, ty_libevent_handler fn, void* arg)
{
    m_ConnectLibEventWrite.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

void CVeskNetworkSession::DisarmEvents()
{
    DelLibEventRead();
    DelLibEventWrite();
    m_DeadlineTimer.Del();
    // Senders waiting for room in the backlog learn that none will come.
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
    }
    m_SendRoom.notify_all();
}

void CVeskNetworkSession::ClearContents()
{
    ReportEnded();
    m_SokcetState = SOCKET_STATE_NORMAL;
    m_recv_socket_buffer.Reset();
    m_recv_buffer.Reset();
    m_cbfunc_Event = nullptr;
    m_cbfunc_EventParam = nullptr;
    m_CryptoAlgorithm = CRYPTO_ALGORITHM_NONE;
    SetCryptoStateRecv(CRYPTO_STATE_PLAIN);
    SetCryptoStateSend(CRYPTO_STATE_PLAIN);
    m_Role = HandshakeRole::kClient;
    m_HandshakeState = HandshakeState::kAwaitHello;
    m_FailureReason = vesk::net::FailureReason::kNone;
    m_CryptoKey.Clear();
    m_CryptoIV.Clear();
    ClearRSAKeyMaterial();
    m_SendCipher->Forget();
    m_RecvCipher->Forget();
    DropSendBacklog();
    DropRecordKeptForHandshake();
    m_bSendFailed = false;
    m_bReadPaused = false;
    m_bWaitingForRoom = false;
    m_bEndOfStream = false;
    m_bReadFailed = false;
    m_bHandshakeFinished = false;
    m_bHandshakeReported = false;
    m_bCloseReported = false;
    m_DeadlineAt = 0;
    m_IdleDeadlineMs = 0;
    m_LastRecordAt = 0;
    m_RefusedLogins = 0;
    m_bServerKeyPinned = false;
    m_KnownServer.reset();
    SetLoggedInUid(nullptr);
}

void CVeskNetworkSession::CountOpened(bool accepted)
{
    m_bOpened.store(true);
    if (m_Manager != nullptr)
        (accepted ? m_Manager->m_Counters.sessions_accepted : m_Manager->m_Counters.sessions_connected)
            .fetch_add(1, std::memory_order_relaxed);
}

// Once per opened session, when nobody is inside it any more: the reason is
// settled, and the thread that let the last reference go holds no lock of
// the library's.
void CVeskNetworkSession::ReportEnded()
{
    if (!m_bOpened.exchange(false) || m_Manager == nullptr)
        return;
    using namespace VeskMessageSystem;
    const int reason = GetEndReason();
    CVeskNetworkSessionManager::Counters& counters = m_Manager->m_Counters;
    if (reason >= 0 && reason < CVeskNetworkSessionManager::kEndReasonSlots)
        counters.sessions_ended[reason].fetch_add(1, std::memory_order_relaxed);
    if (reason == VESK_END_HANDSHAKE_FAILED || reason == VESK_END_SERVER_KEY_MISMATCH)
        counters.handshakes_failed.fetch_add(1, std::memory_order_relaxed);
    const bool ordinary =
        reason == VESK_END_PEER_CLOSED || reason == VESK_END_CLOSED_BY_APPLICATION || reason == VESK_END_SYSTEM_STOPPED;
    const vesk::net::AddressText peer(reinterpret_cast<const sockaddr*>(&m_ConnectAddr));
    char line[128];
    std::snprintf(line, sizeof line, "session %s ended: %s", peer.text, VeskSessionEndReasonText(reason));
    m_Manager->Log(ordinary ? VESK_LOG_INFO : VESK_LOG_WARNING, line);
}

int CVeskNetworkSession::Fail(vesk::net::FailureReason reason)
{
    auto none = vesk::net::FailureReason::kNone;
    m_FailureReason.compare_exchange_strong(none, reason);
    NoteEndReason(vesk::net::EndReasonOf(reason));
    return -1;
}

void CVeskNetworkSession::AfterFreed()
{
    if (m_Manager != nullptr)
        m_Manager->ResumePausedAccepts();
}

void CVeskNetworkSession::SetCryptoStateRecv(eCryptoState state)
{
    m_CryptoStateRecv.store(state, std::memory_order_release);
    if (m_Manager != nullptr)
        m_Manager->NotifySessionStateChanged();
}

void CVeskNetworkSession::SetCryptoStateSend(eCryptoState state)
{
    m_CryptoStateSend.store(state, std::memory_order_release);
    if (m_Manager != nullptr)
        m_Manager->NotifySessionStateChanged();
}

bool CVeskNetworkSession::WaitUntilHandshakeReported()
{
    const auto settled = [this] { return !IsUsed() || IsHandshakeReported(); };
    if (m_Manager == nullptr)
        return settled() && IsUsed();
    std::unique_lock<std::mutex> lock(m_Manager->m_SessionStateMutex);
    m_Manager->m_SessionStateChanged.wait(lock, settled);
    return IsUsed();
}

// Finished before the event, so that its handler can send at once; waiting
// senders are woken once the handler has returned. A server session's
// deadline was its handshake's; from now on only the idle deadline watches it.
void CVeskNetworkSession::ReportHandshakeFinished()
{
    SendRecordKeptForHandshake();
    if (IsServerSide())
        ClearDeadline();
    if (m_Manager != nullptr) {
        WatchIdle(m_Manager->m_IdleDeadlineMs.load());
        m_Manager->m_Counters.handshakes_finished.fetch_add(1, std::memory_order_relaxed);
    }
    m_bHandshakeFinished.store(true, std::memory_order_release);
    call_cbfunc_Event(NETWORK_EVENT_HANDSHAKE_FINISH);
    m_bHandshakeReported.store(true, std::memory_order_release);
    if (m_Manager != nullptr)
        m_Manager->NotifySessionStateChanged();
}

// A null id forgets the one kept.
void CVeskNetworkSession::SetLoggedInUid(const char* uid)
{
    std::lock_guard<std::mutex> lock(m_LoggedInUidMutex);
    const size_t length = uid != nullptr ? strnlen(uid, kLoggedInUidCapacity - 1) : 0;
    std::memcpy(m_LoggedInUid, uid != nullptr ? uid : "", length);
    m_LoggedInUid[length] = '\0';
    m_bLoggedIn.store(uid != nullptr, std::memory_order_release);
}

bool CVeskNetworkSession::GetLoggedInUid(char* uid, size_t size) const
{
    std::lock_guard<std::mutex> lock(m_LoggedInUidMutex);
    const size_t length = strnlen(m_LoggedInUid, kLoggedInUidCapacity);
    if (!m_bLoggedIn.load(std::memory_order_relaxed) || uid == nullptr || size <= length)
        return false;
    std::memcpy(uid, m_LoggedInUid, length + 1);
    return true;
}

bool CVeskNetworkSession::IsCalledFromOwnThread() const
{
    return m_Manager != nullptr && m_Manager->IsOwnThread();
}

bool CVeskNetworkSession::CanHandshakeProgress() const
{
    return m_Manager != nullptr && m_Manager->CanHandshakeProgress();
}

int CVeskNetworkSession::call_cbfunc_Event(short ev)
{
    // A session that is being released reports nothing more.
    if (m_cbfunc_Event == nullptr || !IsUsed())
        return 1;
    return m_cbfunc_Event(this, ev, m_cbfunc_EventParam);
}

void CVeskNetworkSession::SetOwner(CVeskNetworkSessionManager* manager, event_base* base)
{
    m_Manager = manager;
    m_EventBase = base;
}

bool CVeskNetworkSession::ReserveRings()
{
    return m_recv_socket_buffer.Allocate() && m_recv_buffer.Allocate();
}

bool CVeskNetworkSession::AdoptConnection(SOCKET s, const sockaddr* addr, socklen_t addrlen)
{
    std::memset(&m_ConnectAddr, 0, sizeof m_ConnectAddr);
    if (addr != nullptr)
        std::memcpy(&m_ConnectAddr, addr, std::min<size_t>(addrlen, sizeof m_ConnectAddr));
    AdoptSocket(s);
    // Armed only while bytes wait in the backlog.
    SetLibEventWrite(EV_WRITE | EV_PERSIST, CVeskNetworkSessionManager::event_write, this);
    return ReserveRings();
}

}  // namespace VeskNetworkSystem
