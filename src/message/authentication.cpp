// Logging in: the client's request, the server's check against its user list
// and its answer, and the client's reaction to the answer.
#include <openssl/crypto.h>

#include <cstring>

#include "VeskMessageSystem.h"

namespace VeskMessageSystem {
namespace {

constexpr size_t kTextCapacity = CVeskMessageUser::kTextCapacity;

// A field of the wire record as a NUL-terminated text of at most 256
// characters, whatever the peer put in it.
struct FieldText {
    explicit FieldText(const TCHAR (&field)[kTextCapacity])
    {
        std::memcpy(text, field, kTextCapacity);
        text[kTextCapacity] = '\0';
    }
    TCHAR text[kTextCapacity + 1];
};

// Compares two passwords as their 256-character fields, in constant time.
bool SamePassword(LPCTSTR offered, LPCTSTR expected)
{
    TCHAR a[kTextCapacity];
    TCHAR b[kTextCapacity];
    _tcsncpy_s(a, kTextCapacity, offered, kTextCapacity);
    _tcsncpy_s(b, kTextCapacity, expected, kTextCapacity);
    const bool same = CRYPTO_memcmp(a, b, kTextCapacity) == 0;
    OPENSSL_cleanse(a, sizeof a);
    OPENSSL_cleanse(b, sizeof b);
    return same;
}

}  // namespace

int CVeskMessageSystem::auth(CVeskMessageSession* session, LPCTSTR uid, size_t uid_size, LPCTSTR passwd,
                             size_t passwd_size)
{
    tagMessageDataUserAuthRequest request{};
    request.m_header.m_type = VESKMESSYS_MESSAGE_TYPE_USER_AUTH_REQUSET;
    request.m_header.m_size = sizeof request;
    _tcsncpy_s(request.m_uid, kTextCapacity, uid != nullptr ? uid : "", uid_size);
    _tcsncpy_s(request.m_passwd, kTextCapacity, passwd != nullptr ? passwd : "", passwd_size);
    // The answer comes later. An application thread waits for the handshake
    // in send_message; a library thread (a handler) cannot, so the request is
    // kept by the session and leaves as soon as its handshake has finished.
    bool sent = false;
    if (session != nullptr && session->m_ns != nullptr) {
        if (session->m_ns->IsCalledFromOwnThread())
            sent = session->m_ns->SendWhenHandshakeFinished(reinterpret_cast<const unsigned char*>(&request),
                                                            static_cast<int>(sizeof request));
        else
            sent = session->send_message(&request, sizeof request) > 0;
    }
    OPENSSL_cleanse(request.m_passwd, sizeof request.m_passwd);
    return sent ? 1 : 0;
}

int CVeskMessageSystem::parse_message_data_user_auth_request(CVeskNetworkSession* session, const void* pMessageData,
                                                             size_t nMessageData)
{
    tagMessageDataUserAuthRequest request;
    if (pMessageData == nullptr || nMessageData < sizeof request)
        return 0;
    std::memcpy(&request, pMessageData, sizeof request);
    const FieldText uid(request.m_uid);
    const FieldText passwd(request.m_passwd);

    // An unknown user id and a wrong password are not told apart.
    CVeskMessageUser allowed;
    int result = m_mum_auth.find_user(uid.text, &allowed) && SamePassword(passwd.text, allowed.get_passwd()) ? 1 : 0;
    // A user who logs in again keeps the one entry, which stays where it is
    // until the application deletes it.
    if (result == 1) {
        session->attach_ExtensionObject(m_mum.keep_login(uid.text, passwd.text));
        AcceptLogin(session, uid.text);
    }
    (result == 1 ? m_LoginsAccepted : m_LoginsRefused).fetch_add(1, std::memory_order_relaxed);

    tagMessageDataUserAuthResult answer{};
    answer.m_header.m_type = VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT;
    answer.m_header.m_size = sizeof answer;
    answer.m_result = result;
    _tcsncpy_s(answer.m_uid, kTextCapacity, uid.text, kTextCapacity);
    _tcsncpy_s(answer.m_passwd, kTextCapacity, passwd.text, kTextCapacity);
    // Answered directly: the handshake is complete, or the request could not
    // have been decrypted.
    session->send(reinterpret_cast<const unsigned char*>(&answer), sizeof answer, 0);
    OPENSSL_cleanse(&answer, sizeof answer);
    OPENSSL_cleanse(&request, sizeof request);
    // Guessing is cut short: after its last allowed refusal the session ends,
    // reported as any end the library decides, and the rest of its read, more
    // guesses perhaps, is not looked at.
    if (result == 0 && RefusedTooOften(session)) {
        session->NoteEndReason(VESK_END_REFUSED_LOGINS);
        notify_session_event(session, VeskNetworkSystem::NETWORK_EVENT_CLOSE);
        // A handler that deleted the system leaves nothing of it to use.
        if (!CVeskNetworkSessionManager::DisposedOnThisThread())
            m_nsm->Close(session);
        return 0;
    }
    return 1;
}

// The session keeps its own copy of the id: the user list may change while
// the session lasts. A login that came before the handshake had finished
// leaves the handshake's deadline alone.
void CVeskMessageSystem::AcceptLogin(CVeskNetworkSession* session, LPCTSTR uid) const
{
    session->SetLoggedInUid(uid);
    if (session->IsHandshakeFinished())
        session->ClearDeadline();
}

bool CVeskMessageSystem::RequiresLogin(const CVeskNetworkSession* session) const
{
    return m_bRequireLogin.load(std::memory_order_relaxed) && session->IsServerSide();
}

void CVeskMessageSystem::StartLoginDeadline(CVeskNetworkSession* session) const
{
    if (RequiresLogin(session) && !session->IsLoggedIn())
        session->SetDeadline(get_limits().m_login_deadline_ms, VESK_END_LOGIN_DEADLINE);
}

bool CVeskMessageSystem::RefusedTooOften(CVeskNetworkSession* session) const
{
    const uint32_t allowed = get_limits().m_max_refused_logins;
    return m_nsm != nullptr && allowed != 0 && session->CountRefusedLogin() >= allowed;
}

int CVeskMessageSystem::parse_message_data_user_auth_result(CVeskNetworkSession* session, const void* pMessageData,
                                                            size_t nMessageData)
{
    tagMessageDataUserAuthResult answer;
    if (m_nsm == nullptr || pMessageData == nullptr || nMessageData < sizeof answer)
        return 0;
    // Only a client asks to log in; an answer sent to the server's side is
    // forged: it adds no user, and the messages behind it are still cut.
    if (session == nullptr || session->IsServerSide())
        return 1;
    // The answer has come: the deadline of the connect ends here.
    session->ClearDeadline();
    std::memcpy(&answer, pMessageData, sizeof answer);
    if (answer.m_result == 1) {
        const FieldText uid(answer.m_uid);
        const FieldText passwd(answer.m_passwd);
        session->SetLoggedInUid(uid.text);
        m_mum.keep_login(uid.text, passwd.text);
    } else {
        // Refused: the session ends here, as the application's close; the
        // application learns it from its handle.
        session->NoteEndReason(VESK_END_CLOSED_BY_APPLICATION);
        m_nsm->Close(session);
    }
    OPENSSL_cleanse(&answer, sizeof answer);
    return 1;
}

}  // namespace VeskMessageSystem
