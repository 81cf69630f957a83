// The object an application holds: pools, threads, listen, connect, close and users, and its factory.
#include <algorithm>
#include <chrono>
#include <memory>
#include <new>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {

CVeskMessageSystem::CVeskMessageSystem()
    : m_service_type(VESKMESSYS_SERVICE_TYPE_NONE),
      m_nsm(nullptr),
      m_error_msg{},
      m_Limits(VeskMessageSystemDefaultLimits())
{
    // Without a manager the object stays usable for its user and handler
    // lists; every network operation then reports failure.
    try {
        m_nsm = new CVeskNetworkSessionManager;
    } catch (const std::bad_alloc&) {
        m_nsm = nullptr;
    }
    set_limits(VeskMessageSystemDefaultLimits());
}

// Inside one of the system's handlers the manager finishes its teardown on
// the handler's thread, after the handler has returned.
CVeskMessageSystem::~CVeskMessageSystem()
{
    CVeskNetworkSessionManager::Dispose(m_nsm);
    m_nsm = nullptr;
}

int CVeskMessageSystem::CreateSessions(int session_max)
{
    return m_nsm != nullptr ? m_nsm->CreateSessions(session_max) : 0;
}

int CVeskMessageSystem::CreateListenSessions(int listen_session_max)
{
    return m_nsm != nullptr ? m_nsm->CreateListenSessions(listen_session_max) : 0;
}

int CVeskMessageSystem::CreateUDPSessions(int udp_session_max)
{
    return m_nsm != nullptr ? m_nsm->CreateUDPSessions(udp_session_max) : 0;
}

void CVeskMessageSystem::ReleaseSessions()
{
    if (m_nsm != nullptr)
        m_nsm->ReleaseSessions();
}

void CVeskMessageSystem::ReleaseListenSessions()
{
    if (m_nsm != nullptr)
        m_nsm->ReleaseListenSessions();
}

void CVeskMessageSystem::ReleaseUDPSessions()
{
    if (m_nsm != nullptr)
        m_nsm->ReleaseUDPSessions();
}

int CVeskMessageSystem::InitSocketEvent()
{
    if (m_nsm == nullptr || m_nsm->CreateParseRecvSocketBufferThread() <= 0)
        return 0;
    return m_nsm->InitLibEvent() > 0 ? 1 : 0;
}

int CVeskMessageSystem::DispatchSocketEvent()
{
    return m_nsm != nullptr ? m_nsm->DispatchLibEvent() : 0;
}

int CVeskMessageSystem::listen(const char* service, int family,
                               eVeskMessageSystemCryptoAlgorithm VeskMessageSystemCryptoAlgorithm)
{
    if (m_nsm == nullptr || m_service_type != VESKMESSYS_SERVICE_TYPE_NONE)
        return 0;
    VeskNetworkSystem::eCryptoAlgorithm algorithm = VeskNetworkSystem::CRYPTO_ALGORITHM_NONE;
    if (VeskMessageSystemCryptoAlgorithm == VESKMESSYS_CRYPTO_ALGORITHM_3DES)
        algorithm = VeskNetworkSystem::CRYPTO_ALGORITHM_3DES;
    else if (VeskMessageSystemCryptoAlgorithm == VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH)
        algorithm = VeskNetworkSystem::CRYPTO_ALGORITHM_BLOWFISH;
    return m_nsm->Listen(service, family, get_limits().m_listen_backlog, cbfunc_Recv, this, algorithm) != 0 ? 1 : 0;
}

void CVeskMessageSystem::close_listen(const char* service)
{
    if (m_nsm != nullptr)
        m_nsm->CloseListen(service);
}

// Every connection the system makes runs the secure handshake.
CVeskMessageSession* CVeskMessageSystem::connect(const char* hostname, const char* service)
{
    if (m_nsm == nullptr || m_service_type != VESKMESSYS_SERVICE_TYPE_NONE)
        return nullptr;
    std::unique_ptr<CVeskMessageSession> handle(new (std::nothrow) CVeskMessageSession);
    if (!handle)
        return nullptr;
    CVeskNetworkSession* session = m_nsm->ConnectSecure(hostname, service, cbfunc_Recv, this);
    if (session == nullptr)
        return nullptr;
    handle->attach_session(session);
    return handle.release();
}

// Connects, then sends the credentials without waiting for the answer (in a
// handler, they leave when the handshake has finished); a refusal arrives
// later and closes the session then. A request that could not be sent, or
// kept for the end of the handshake, gives null. What is left of the connect
// deadline runs on the session until the answer has come: a server that
// never finishes the handshake, or never answers, so ends the session (and
// the wait for the handshake) instead of holding it for ever.
CVeskMessageSession* CVeskMessageSystem::connect(const char* hostname, const char* service, LPCTSTR uid,
                                                 size_t uid_size, LPCTSTR passwd, size_t passwd_size)
{
    if (m_service_type != VESKMESSYS_SERVICE_TYPE_NONE)
        return nullptr;
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<CVeskMessageSession> handle(connect(hostname, service));
    if (!handle || !handle->is_session_used())
        return nullptr;
    if (const uint32_t deadline_ms = get_limits().m_connect_deadline_ms) {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        const VeskNetworkSystem::CVeskElementEntry entry(handle->m_ns, handle->m_ns_life);
        if (entry)
            handle->m_ns->SetDeadline(static_cast<uint32_t>(std::max<int64_t>(
                                          1, static_cast<int64_t>(deadline_ms) - static_cast<int64_t>(spent.count()))),
                                      VESK_END_CONNECT_DEADLINE);
    }
    if (auth(handle.get(), uid, uid_size, passwd, passwd_size) == 0) {
        handle->close_session();
        handle->detach_session();
        return nullptr;
    }
    return handle.release();
}

void CVeskMessageSystem::close(CVeskMessageSession* session)
{
    if (m_nsm != nullptr && session != nullptr)
        session->close_session();
}

int CVeskMessageSystem::add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size)
{
    return m_mum.add_user(uid, uid_size, passwd, passwd_size);
}

int CVeskMessageSystem::delete_user(LPCTSTR uid, size_t uid_size)
{
    return m_mum.delete_user(uid, uid_size);
}

int CVeskMessageSystem::delete_alluser()
{
    return m_mum.delete_alluser();
}

CVeskMessageUser CVeskMessageSystem::reference_user(LPCTSTR uid, size_t uid_size) const
{
    return m_mum.reference_user(uid, uid_size);
}

CVeskMessageUser* CVeskMessageSystem::get_user(LPCTSTR uid, size_t uid_size)
{
    return m_mum.get_user(uid, uid_size);
}

const CVeskMessageUser* CVeskMessageSystem::get_user(LPCTSTR uid, size_t uid_size) const
{
    return m_mum.get_user(uid, uid_size);
}

}  // namespace VeskMessageSystem

VeskMessageSystem::CVeskMessageSystem* VeskMessageSystemCreate()
{
    return new VeskMessageSystem::CVeskMessageSystem;
}
