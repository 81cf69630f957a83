#include <unistd.h>

#include <algorithm>

#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

CVeskNetworkSession::CVeskNetworkSession()
    : m_ConnectAddr(),
      m_ConnectSocket(-1),
      m_SokcetState(SOCKET_STATE_NORMAL),
      m_EventBase(nullptr),
      m_cbfunc_Event(nullptr),
      m_cbfunc_EventParam(nullptr),
      m_ExtensionObject(nullptr),
      m_CryptoAlgorithm(CRYPTO_ALGORITHM_NONE),
      m_CryptoStateRecv(CRYPTO_STATE_PLAIN),
      m_CryptoStateSend(CRYPTO_STATE_PLAIN)
{
}

CVeskNetworkSession::~CVeskNetworkSession()
{
    SetUsed(false);
}

void CVeskNetworkSession::SetUsed(bool bFlag)
{
    StoreUsed(bFlag);
    if (bFlag)
        return;
    close();
    m_recv_socket_buffer.Reset();
    m_recv_buffer.Reset();
    m_cbfunc_Event = nullptr;
    m_cbfunc_EventParam = nullptr;
    m_CryptoAlgorithm = CRYPTO_ALGORITHM_NONE;
    SetCryptoStateRecv(CRYPTO_STATE_PLAIN);
    SetCryptoStateSend(CRYPTO_STATE_PLAIN);
    m_CryptoKey.Clear();
    m_CryptoIV.Clear();
    ClearRSAKeyMaterial();
}

sockaddr* CVeskNetworkSession::GetSocketAddr(sockaddr_storage* pSocketAddr)
{
    if (pSocketAddr != nullptr)
        std::memcpy(pSocketAddr, &m_ConnectAddr, sizeof m_ConnectAddr);
    return reinterpret_cast<sockaddr*>(&m_ConnectAddr);
}

void CVeskNetworkSession::close()
{
    // Exchanging the descriptor first makes two racing closes close it once.
    const SOCKET s = m_ConnectSocket.exchange(-1, std::memory_order_acq_rel);
    if (s < 0)
        return;
    DelLibEventRead();
    DelLibEventWrite();
    ::close(s);
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

int CVeskNetworkSession::call_cbfunc_Event(short ev)
{
    if (m_cbfunc_Event == nullptr)
        return 1;
    return m_cbfunc_Event(this, ev, m_cbfunc_EventParam);
}

void CVeskNetworkSession::AdoptSocket(SOCKET s, const sockaddr* addr, socklen_t addrlen)
{
    std::memset(&m_ConnectAddr, 0, sizeof m_ConnectAddr);
    if (addr != nullptr)
        std::memcpy(&m_ConnectAddr, addr, std::min<size_t>(addrlen, sizeof m_ConnectAddr));
    m_ConnectSocket.store(s, std::memory_order_release);
}

}  // namespace VeskNetworkSystem
