#include "VeskNetworkSystem.h"

namespace VeskNetworkSystem {

CVeskNetworkUDPSession::CVeskNetworkUDPSession()
    : m_bBind(false),
      m_SokcetState(SOCKET_STATE_NORMAL),
      m_family(0),
      m_Manager(nullptr),
      m_EventBase(nullptr),
      m_BindService{},
      m_cbfunc_UDPEvent(nullptr),
      m_cbfunc_UDPEventParam(nullptr),
      m_ExtensionObject(nullptr)
{
}

CVeskNetworkUDPSession::~CVeskNetworkUDPSession()
{
    SetUsed(false);
}

void CVeskNetworkUDPSession::SetUsed(bool bFlag)
{
    if (!bFlag) {
        Release();
        return;
    }
    if (IsFree())
        TryClaim();
    Publish();
}

void CVeskNetworkUDPSession::SetBindService(const char* service)
{
    if (service == nullptr)
        return;
    std::memset(m_BindService, 0, sizeof m_BindService);
    std::memcpy(m_BindService, service, strnlen(service, sizeof m_BindService - 1));
}

void CVeskNetworkUDPSession::SetLibEventRead(short libevent, ty_libevent_handler fn, void* arg)
{
    m_LibEventRead.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

void CVeskNetworkUDPSession::SetLibEventWrite(short libevent, ty_libevent_handler fn, void* arg)
{
    m_LibEventWrite.Set(m_EventBase, GetSocket(), libevent, fn, arg);
}

int CVeskNetworkUDPSession::recvfrom(void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen)
{
    return static_cast<int>(::recvfrom(GetSocket(), buf, len, flags, from, fromlen));
}

int CVeskNetworkUDPSession::sendto(const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen)
{
    return static_cast<int>(::sendto(GetSocket(), buf, len, flags | MSG_NOSIGNAL, to, tolen));
}

void CVeskNetworkUDPSession::close()
{
    // Callback, parameter and service name stay as they are.
    if (GetSocket() < 0)
        return;
    CloseSocket();
    m_bBind = false;
}

void CVeskNetworkUDPSession::DisarmEvents()
{
    DelLibEventRead();
    DelLibEventWrite();
}

void CVeskNetworkUDPSession::ClearContents()
{
    m_bBind = false;
}

int CVeskNetworkUDPSession::call_cbfunc_UDPEvent(short ev)
{
    if (m_cbfunc_UDPEvent == nullptr || !IsUsed())
        return 1;
    return m_cbfunc_UDPEvent(this, ev, m_cbfunc_UDPEventParam);
}

}  // namespace VeskNetworkSystem
