// How a session comes to hold a connection: accepted from a listener or
// connected to a named host.
#include <event2/event.h>
#include <netdb.h>
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>

#include "VeskNetworkSystem.h"
#include "transport/socket_io.h"

namespace VeskNetworkSystem {

SOCKET CVeskNetworkSession::accept(CVeskNetworkSessionListen* pVeskNetworkSessionListen)
{
    // Without its rings the session cannot take the connection, which then
    // stays queued for a later accept.
    if (pVeskNetworkSessionListen == nullptr || !ReserveRings())
        return -1;
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    const SOCKET s = pVeskNetworkSessionListen->Accept(reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (s < 0)
        return -1;
    if (!AdoptConnection(s, reinterpret_cast<sockaddr*>(&peer), peer_length))
        return -1;
    m_cbfunc_Event = pVeskNetworkSessionListen->Get_cbfunc_Event();
    m_cbfunc_EventParam = pVeskNetworkSessionListen->Get_cbfunc_EventParam();
    CopyRSAKeyMaterialFrom(*pVeskNetworkSessionListen);
    m_Role = HandshakeRole::kServer;
    return s;
}

// The socket is adopted before it connects, so that a release of the session
// shuts it down, which ends the wait at once. The release marks the session
// before it takes the socket to shut it down; this side adopts before it
// looks at the mark (both sequentially consistent), so one of the two always
// sees the other. The socket stays non-blocking: every read and write on a
// session's socket is one anyway.
SOCKET CVeskNetworkSession::ConnectTo(const addrinfo* addresses, bool secure, ty_cbfunc_Event cbfunc_Event,
                                      void* cbfunc_EventParam)
{
    // The first address that accepts the connection wins; the deadline
    // covers them all.
    if (!ReserveRings())
        return -1;
    const vesk::net::Deadline deadline(m_Manager != nullptr ? m_Manager->m_ConnectDeadlineMs.load() : 0);
    for (const addrinfo* entry = addresses; entry != nullptr; entry = entry->ai_next) {
        const SOCKET s =
            ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, entry->ai_protocol);
        if (s < 0)
            return -1;
        AdoptSocket(s);
        const bool connected = IsUsed() && vesk::net::ConnectAndWait(s, *entry, deadline);
        if (!IsUsed() || GetSocket() != s) {
            CloseSocket();
            return -1;
        }
        if (!connected) {
            CloseSocket();
            continue;
        }
        std::memset(&m_ConnectAddr, 0, sizeof m_ConnectAddr);
        std::memcpy(&m_ConnectAddr, entry->ai_addr, std::min<size_t>(entry->ai_addrlen, sizeof m_ConnectAddr));
        // Armed only while bytes wait in the backlog.
        SetLibEventWrite(EV_WRITE | EV_PERSIST, CVeskNetworkSessionManager::event_write, this);
        m_cbfunc_Event = cbfunc_Event;
        m_cbfunc_EventParam = cbfunc_EventParam;
        m_SokcetState = SOCKET_STATE_NORMAL;
        m_Role = HandshakeRole::kClient;
        break;
    }
    if (GetSocket() < 0)
        return -1;

    if (secure && SendHandShakeClientHello() < 0) {
        CloseSocket();
        return -1;
    }
    CountOpened(false);
    call_cbfunc_Event(NETWORK_EVENT_CONNECT);
    return GetSocket();
}

// A record that has to be the first after the handshake (a login) can be
// handed over by a thread that cannot wait for the handshake, such as a
// handler on the thread that carries it.
bool CVeskNetworkSession::SendWhenHandshakeFinished(const unsigned char* buf, int num)
{
    if (buf == nullptr || num <= 0)
        return false;
    CVeskElementEntry entry(this);
    if (!entry)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        if (!m_bKeptRecordReleased) {
            if (!m_RecordKeptForHandshake.empty())
                return false;
            m_RecordKeptForHandshake.assign(buf, buf + num);
            return true;
        }
    }
    return send(buf, num, 0) >= 0;
}

void CVeskNetworkSession::SendRecordKeptForHandshake()
{
    std::vector<unsigned char> record;
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        m_bKeptRecordReleased = true;
        record.swap(m_RecordKeptForHandshake);
    }
    if (record.empty())
        return;
    send(record.data(), static_cast<int>(record.size()), 0);
    OPENSSL_cleanse(record.data(), record.size());
}

void CVeskNetworkSession::DropRecordKeptForHandshake()
{
    if (!m_RecordKeptForHandshake.empty())
        OPENSSL_cleanse(m_RecordKeptForHandshake.data(), m_RecordKeptForHandshake.size());
    std::vector<unsigned char>().swap(m_RecordKeptForHandshake);
    m_bKeptRecordReleased = false;
}

}  // namespace VeskNetworkSystem
