// Message layer of libvesk: the object an application holds, the session
// handle, users, handler registrations and the message records.
//
// Message records go on the wire exactly as they lie in memory: little-endian
// integers, 8-bit characters, no padding other than the one the tables name.
#ifndef VESK_MESSAGE_SYSTEM_H
#define VESK_MESSAGE_SYSTEM_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "VeskNetworkSystem.h"
#include "VeskTypedefNoneWin32.h"
#include "VeskVersion.h"

// Text helpers for the fixed-width text fields of the message records.
VESK_API int _tcscmp(const char* _s1, const char* _s2);
// Copies up to and including the source's NUL, never more than
// _Destination_size_chars characters, and NUL-fills the rest. _Count is not
// used: the copy is bounded by the source's NUL and the destination size.
VESK_API char* _tcsncpy_s(char* _Destination, size_t _Destination_size_chars, const char* _Source, size_t _Count);
VESK_API size_t _tcscnlen(const char* _String, size_t _Maximum);

namespace VeskMessageSystem {

using VeskNetworkSystem::CVeskNetworkSession;
using VeskNetworkSystem::CVeskNetworkSessionManager;
using VeskNetworkSystem::CVeskNetworkUDPSession;

enum eVeskMessageSystemCryptoAlgorithm : int {
    VESKMESSYS_CRYPTO_ALGORITHM_NONE = 0,
    VESKMESSYS_CRYPTO_ALGORITHM_3DES = 1,
    VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH = 2,
};

enum eVeskMessageSystemServiceType : int {
    VESKMESSYS_SERVICE_TYPE_NONE = 0,
    VESKMESSYS_SERVICE_TYPE_SERVER = 1,
    VESKMESSYS_SERVICE_TYPE_CLIENT = 2,
};

enum eVeskMessageSystemMessageType : uint32_t {
    VESKMESSYS_MESSAGE_TYPE_UNKNOWN = 0x10000001,
    VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT = 0x10000002,
    VESKMESSYS_MESSAGE_TYPE_HANDSHAKE_FINISH = 0x10000003,
    VESKMESSYS_MESSAGE_TYPE_USER_AUTH_REQUSET = 0x10000004,
    VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT = 0x10000005,
    VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE = 0x10000006,
    VESKMESSYS_MESSAGE_TYPE_USER_STATE = 0x10000007,
    VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_START = 0x00000000,
    VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_END = 0x0000FFFF,
    VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL = 0x00010000,
};

// The 8-byte header that starts every message.
struct tagMessageHeader {
    uint32_t m_type;
    uint16_t m_size;
    uint16_t m_padding;
};

// Built by the library for local delivery of session events to a handler.
// Packed so that the address sits at offset 12 as in the 32-bit layout.
#pragma pack(push, 4)
struct tagMessageDataSesssionEvent {
    tagMessageHeader m_header;
    int16_t m_ev;
    uint16_t m_padding;
    sockaddr_storage m_SessionAddr;
};
#pragma pack(pop)

struct tagMessageDataUserAuthRequest {
    tagMessageHeader m_header;
    TCHAR m_uid[256];
    TCHAR m_passwd[256];
};

struct tagMessageDataUserAuthResult {
    tagMessageHeader m_header;
    int32_t m_result;
    TCHAR m_uid[256];
    TCHAR m_passwd[256];
};

struct tagMessageDataUserMessage {
    tagMessageHeader m_header;
    TCHAR m_uid_from[256];
    TCHAR m_uid_to[256];
    TCHAR m_message[1024];
};

struct tagMessageDataUserState {
    tagMessageHeader m_header;
    TCHAR m_uid_from[256];
    TCHAR m_uid_to[256];
    TCHAR m_state[64];
};

static_assert(sizeof(tagMessageHeader) == 8, "message header is 8 bytes");
static_assert(offsetof(tagMessageHeader, m_size) == 4, "m_size at offset 4");
static_assert(sizeof(tagMessageDataSesssionEvent) == 140, "session event record is 140 bytes");
static_assert(offsetof(tagMessageDataSesssionEvent, m_ev) == 8, "m_ev at offset 8");
static_assert(offsetof(tagMessageDataSesssionEvent, m_SessionAddr) == 12, "address at offset 12");
static_assert(sizeof(tagMessageDataUserAuthRequest) == 520, "auth request is 520 bytes");
static_assert(offsetof(tagMessageDataUserAuthRequest, m_passwd) == 264, "request password at 264");
static_assert(sizeof(tagMessageDataUserAuthResult) == 524, "auth result is 524 bytes");
static_assert(offsetof(tagMessageDataUserAuthResult, m_result) == 8, "result at offset 8");
static_assert(offsetof(tagMessageDataUserAuthResult, m_uid) == 12, "result user id at 12");
static_assert(offsetof(tagMessageDataUserAuthResult, m_passwd) == 268, "result password at 268");
static_assert(sizeof(tagMessageDataUserMessage) == 1544, "user message is 1544 bytes");
static_assert(offsetof(tagMessageDataUserMessage, m_message) == 520, "message text at 520");
static_assert(sizeof(tagMessageDataUserState) == 584, "user state is 584 bytes");
static_assert(offsetof(tagMessageDataUserState, m_state) == 520, "state text at 520");

class CVeskMessageSystem;

class CVeskMessageSessionAbstract {
public:
    virtual bool is_session_used() const = 0;
    virtual int send_message(const void* pMessageData, size_t nMessageDataSize) = 0;
    virtual bool is_udp_session_used() const = 0;
    virtual int sendto_udp_message(const void* pMessageData, size_t nMessageDataSize, const char* hostname,
                                   const char* service) = 0;
};

// A reference to a TCP session or a datagram socket of the system's pools.
// It owns neither, and names one session (one datagram socket) for its whole
// life: once that has ended, is_session_used() is false and every operation
// on the handle fails or does nothing, whoever uses the slot next and even
// after the pool or the system is gone.
class VESK_API CVeskMessageSession : public CVeskMessageSessionAbstract {
public:
    CVeskMessageSession();
    CVeskMessageSession(const CVeskMessageSession& rVeskMessageSession);
    CVeskMessageSession operator=(const CVeskMessageSession& rVeskMessageSession);
    bool operator==(const CVeskMessageSession& rVeskMessageSession) const;
    bool operator!=(const CVeskMessageSession& rVeskMessageSession) const;

    bool is_session_used() const override;
    // Sends whole messages back to back as one record, waiting for the
    // handshake on an application thread while the system's threads run: the
    // bytes written; 0 when the session has ended; -1 when refused, with
    // nothing sent: fewer than 8 bytes, an m_size below 8, m_size values that
    // do not add up to exactly nMessageDataSize (the receiver cuts the record
    // by them), more than one record holds, or a handshake that nothing can
    // finish while this call waited (a library thread, the connect event, a
    // system whose threads were not started).
    int send_message(const void* pMessageData, size_t nMessageDataSize) override;
    bool is_udp_session_used() const override;
    int sendto_udp_message(const void* pMessageData, size_t nMessageDataSize, const char* hostname,
                           const char* service) override;
    virtual ~CVeskMessageSession();

private:
    friend class CVeskMessageSystem;
    friend struct ::VeskNetworkTestAccess;

    // Names the session's life under way; called on a library thread that is
    // inside the session, or by its opener.
    void attach_session(CVeskNetworkSession* session)
    {
        m_ns = session;
        m_ns_life = VeskNetworkSystem::CVeskElementLifeRef(session);
    }
    void detach_session() { attach_session(nullptr); }
    void attach_udp_session(CVeskNetworkUDPSession* session)
    {
        m_ns_udp = session;
        m_ns_udp_life = VeskNetworkSystem::CVeskElementLifeRef(session);
    }
    void detach_udp_session() { attach_udp_session(nullptr); }
    VESK_LOCAL void close_session();
    VESK_LOCAL void close_udp_session();

    // Dereferenced only under a reference taken through the life beside it.
    CVeskNetworkSession* m_ns;
    CVeskNetworkUDPSession* m_ns_udp;
    VeskNetworkSystem::CVeskElementLifeRef m_ns_life;
    VeskNetworkSystem::CVeskElementLifeRef m_ns_udp_life;
};

class CVeskMessageUserAbstract {
public:
    virtual LPCTSTR get_uid() const = 0;
    virtual size_t get_uid_size() const = 0;
    virtual void set_uid(LPCTSTR uid, size_t size) = 0;
    virtual LPCTSTR get_passwd() const = 0;
    virtual size_t get_passwd_size() const = 0;
    virtual void set_passwd(LPCTSTR passwd, size_t size) = 0;
};

// A user id and password, each a text of at most 256 characters.
class VESK_API CVeskMessageUser : public CVeskMessageUserAbstract {
public:
    static constexpr size_t kTextCapacity = 256;

    CVeskMessageUser();
    CVeskMessageUser(const CVeskMessageUser& rVeskMessageUser);
    CVeskMessageUser& operator=(const CVeskMessageUser& rVeskMessageUser);

    LPCTSTR get_uid() const override;
    size_t get_uid_size() const override;
    void set_uid(LPCTSTR uid, size_t size) override;
    LPCTSTR get_passwd() const override;
    size_t get_passwd_size() const override;
    void set_passwd(LPCTSTR passwd, size_t size) override;
    virtual ~CVeskMessageUser();

private:
    TCHAR m_uid[kTextCapacity];
    TCHAR m_passwd[kTextCapacity];
};

class CVeskMessageUserManagerAbstract {
public:
    virtual int add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size) = 0;
    virtual int delete_user(LPCTSTR uid, size_t uid_size) = 0;
    virtual int delete_alluser() = 0;
    virtual CVeskMessageUser reference_user(LPCTSTR uid, size_t uid_size) const = 0;
    virtual CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) = 0;
    virtual const CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) const = 0;
};

// A list of users in insertion order; lookups find the first entry whose id
// equals the key (a NUL-terminated text; the size argument is not used), at
// the same cost whatever the list's length. Each entry stays where it is
// until it is deleted, so a pointer from get_user stays valid until then.
// Lookups follow the id an entry was added with: to change an id, delete the
// user and add it again rather than writing through that pointer.
//
// The list guards itself: authentication adds to it on a library thread while
// the application reads it.
class VESK_API CVeskMessageUserManager : public CVeskMessageUserManagerAbstract {
public:
    CVeskMessageUserManager();
    CVeskMessageUserManager(const CVeskMessageUserManager& rVeskMessageUserManager);
    CVeskMessageUserManager& operator=(const CVeskMessageUserManager& rVeskMessageUserManager);

    int add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size) override;
    int delete_user(LPCTSTR uid, size_t uid_size) override;
    int delete_alluser() override;
    CVeskMessageUser reference_user(LPCTSTR uid, size_t uid_size) const override;
    CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) override;
    const CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) const override;
    virtual ~CVeskMessageUserManager();

    // A copy of the first user with this id, taken under the list's lock;
    // false when there is none.
    VESK_LOCAL bool find_user(LPCTSTR uid, CVeskMessageUser* out) const;
    // The entry of an accepted login: the first with this id, its password
    // brought up to date, or a new one when there is none. So the list holds
    // one entry per user however often each logs in.
    VESK_LOCAL CVeskMessageUser* keep_login(LPCTSTR uid, LPCTSTR passwd);
    // Exchanges the entries of two lists.
    VESK_LOCAL void swap_users(CVeskMessageUserManager& other);

private:
    friend struct ::VeskNetworkTestAccess;

    // Called with m_Mutex held.
    VESK_LOCAL CVeskMessageUser* find_locked(LPCTSTR uid) const;
    VESK_LOCAL void append_locked(const CVeskMessageUser& user);
    VESK_LOCAL void reindex_locked();

    mutable std::mutex m_Mutex;
    // Entries live on their own so that they stay put while the list grows.
    std::vector<std::unique_ptr<CVeskMessageUser>> m_VeskMessageUserArray;
    // The first entry of each id, by the hash of the id.
    std::unordered_multimap<size_t, CVeskMessageUser*> m_FirstEntryByUid;
};

typedef int (*ty_ExtensionCallFunction)(CVeskMessageSession* session, const char* host, const char* service,
                                        const void* data, size_t size);

// A handler registration: the message type it is for, its size rule and the
// handler.
struct tagExtensionCallFunction {
    uint32_t m_type;
    uint16_t m_size;
    ty_ExtensionCallFunction m_call_func;
};

// Deadlines and limits of a system, which bound what a peer can make it hold.
// Durations are in milliseconds; 0 turns a deadline off. Defaults:
// VeskMessageSystemDefaultLimits().
struct tagVeskMessageSystemLimits {
    // A server session whose handshake has not finished by then is closed.
    uint32_t m_handshake_deadline_ms;
    // connect gives up on the TCP connection after this (it returns null); a
    // session connected with credentials is closed when its handshake and
    // the login answer have not come by then.
    uint32_t m_connect_deadline_ms;
    // An established session that received no record for this long is
    // closed; off by default.
    uint32_t m_idle_deadline_ms;
    // A session whose logins were refused this many times is closed; 0
    // never closes one for that.
    uint32_t m_max_refused_logins;
    // The listen backlog: connections the kernel queues before they are
    // accepted.
    int32_t m_listen_backlog;
};

// The limits a new system starts with: handshake and connect deadlines of
// 30 s, no idle deadline, 3 refused logins, the system's largest backlog.
extern "C" VESK_API tagVeskMessageSystemLimits VeskMessageSystemDefaultLimits();

class CVeskMessageSystemAbstract {
private:
    virtual int auth(CVeskMessageSession* session, LPCTSTR uid, size_t uid_size, LPCTSTR passwd,
                     size_t passwd_size) = 0;
    virtual int notify_session_event(CVeskNetworkSession* session, short ev) = 0;
    virtual int notify_udp_session_event(CVeskNetworkUDPSession* session, short ev, const sockaddr* sa,
                                         socklen_t salen) = 0;
    virtual int parse_message(CVeskNetworkSession* session, const unsigned char* buf, int num) = 0;
    virtual int parse_message_data_user_auth_request(CVeskNetworkSession* session, const void* pMessageData,
                                                     size_t nMessageData) = 0;
    virtual int parse_message_data_user_auth_result(CVeskNetworkSession* session, const void* pMessageData,
                                                    size_t nMessageData) = 0;
    virtual int parse_message_data_user_message(CVeskNetworkSession* session, const void* pMessageData,
                                                size_t nMessageData) = 0;
    virtual int parse_message_data_user_state(CVeskNetworkSession* session, const void* pMessageData,
                                              size_t nMessageData) = 0;
    virtual int parse_udp_message(CVeskNetworkUDPSession* session, const unsigned char* buf, int num,
                                  const sockaddr* sa, socklen_t salen) = 0;

public:
    virtual int CreateSessions(int session_max) = 0;
    virtual int CreateListenSessions(int listen_session_max) = 0;
    virtual int CreateUDPSessions(int udp_session_max) = 0;
    virtual void ReleaseSessions() = 0;
    virtual void ReleaseListenSessions() = 0;
    virtual void ReleaseUDPSessions() = 0;
    virtual int InitSocketEvent() = 0;
    virtual int DispatchSocketEvent() = 0;
    virtual int listen(const char* service, int family,
                       eVeskMessageSystemCryptoAlgorithm VeskMessageSystemCryptoAlgorithm) = 0;
    virtual int load_auth_user_list(LPCTSTR lpFileName) = 0;
    virtual CVeskMessageSession* connect(const char* hostname, const char* service) = 0;
    virtual CVeskMessageSession* connect(const char* hostname, const char* service, LPCTSTR uid, size_t uid_size,
                                         LPCTSTR passwd, size_t passwd_size) = 0;
    virtual void close(CVeskMessageSession* session) = 0;
    virtual CVeskMessageSession* open_udp(int family) = 0;
    virtual void close_udp(CVeskMessageSession* session) = 0;
    virtual int open_udp_bind(const char* service, int family) = 0;
    virtual void close_udp_bind(const char* service) = 0;
    virtual int add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size) = 0;
    virtual int delete_user(LPCTSTR uid, size_t uid_size) = 0;
    virtual int delete_alluser() = 0;
    virtual CVeskMessageUser reference_user(LPCTSTR uid, size_t uid_size) const = 0;
    virtual CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) = 0;
    virtual const CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) const = 0;
    virtual int add_ExtensionCallFunction(const tagExtensionCallFunction& ExtensionCallFunction) = 0;
    virtual int delete_ExtensionCallFunction(int type) = 0;
    virtual int delete_allExtensionCallFunction() = 0;
};

// The one object an application holds. Made by VeskMessageSystemCreate and
// destroyed with delete on a CVeskMessageSystem pointer.
class VESK_API CVeskMessageSystem : public CVeskMessageSystemAbstract {
public:
    CVeskMessageSystem();
    CVeskMessageSystem(const CVeskMessageSystem&) = delete;
    CVeskMessageSystem& operator=(const CVeskMessageSystem&) = delete;

    int CreateSessions(int session_max) override;
    int CreateListenSessions(int listen_session_max) override;
    int CreateUDPSessions(int udp_session_max) override;
    void ReleaseSessions() override;
    void ReleaseListenSessions() override;
    void ReleaseUDPSessions() override;
    int InitSocketEvent() override;
    int DispatchSocketEvent() override;
    int listen(const char* service, int family,
               eVeskMessageSystemCryptoAlgorithm VeskMessageSystemCryptoAlgorithm) override;
    int load_auth_user_list(LPCTSTR lpFileName) override;
    CVeskMessageSession* connect(const char* hostname, const char* service) override;
    CVeskMessageSession* connect(const char* hostname, const char* service, LPCTSTR uid, size_t uid_size,
                                 LPCTSTR passwd, size_t passwd_size) override;
    void close(CVeskMessageSession* session) override;
    CVeskMessageSession* open_udp(int family) override;
    void close_udp(CVeskMessageSession* session) override;
    int open_udp_bind(const char* service, int family) override;
    void close_udp_bind(const char* service) override;
    int add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size) override;
    int delete_user(LPCTSTR uid, size_t uid_size) override;
    int delete_alluser() override;
    CVeskMessageUser reference_user(LPCTSTR uid, size_t uid_size) const override;
    CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) override;
    const CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) const override;
    int add_ExtensionCallFunction(const tagExtensionCallFunction& ExtensionCallFunction) override;
    int delete_ExtensionCallFunction(int type) override;
    int delete_allExtensionCallFunction() override;
    virtual ~CVeskMessageSystem();

    void close_listen(const char* service);

    // Replaces the system's limits; sessions opened afterwards follow them.
    // 0 (nothing changed) for a negative backlog. Any thread.
    int set_limits(const tagVeskMessageSystemLimits& limits);
    tagVeskMessageSystemLimits get_limits() const;

private:
    friend struct ::VeskNetworkTestAccess;

    // Every TCP session of the system reports here, with the system as parameter.
    VESK_LOCAL static int cbfunc_Recv(CVeskNetworkSession* session, short ev, void* pParam);
    // Every datagram socket of the system reports here, with the system as
    // parameter.
    VESK_LOCAL static int cbfunc_udp_Recv(CVeskNetworkUDPSession* session, short ev, void* pParam);

    VESK_LOCAL int auth(CVeskMessageSession* session, LPCTSTR uid, size_t uid_size, LPCTSTR passwd,
                        size_t passwd_size) override;
    VESK_LOCAL int notify_session_event(CVeskNetworkSession* session, short ev) override;
    VESK_LOCAL int notify_udp_session_event(CVeskNetworkUDPSession* session, short ev, const sockaddr* sa,
                                            socklen_t salen) override;
    VESK_LOCAL int parse_message(CVeskNetworkSession* session, const unsigned char* buf, int num) override;
    VESK_LOCAL int parse_message_data_user_auth_request(CVeskNetworkSession* session, const void* pMessageData,
                                                        size_t nMessageData) override;
    VESK_LOCAL int parse_message_data_user_auth_result(CVeskNetworkSession* session, const void* pMessageData,
                                                       size_t nMessageData) override;
    VESK_LOCAL int parse_message_data_user_message(CVeskNetworkSession* session, const void* pMessageData,
                                                   size_t nMessageData) override;
    VESK_LOCAL int parse_message_data_user_state(CVeskNetworkSession* session, const void* pMessageData,
                                                 size_t nMessageData) override;
    VESK_LOCAL int parse_udp_message(CVeskNetworkUDPSession* session, const unsigned char* buf, int num,
                                     const sockaddr* sa, socklen_t salen) override;
    // Counts a refused login of the session: true when that was its last
    // allowed one.
    VESK_LOCAL bool RefusedTooOften(CVeskNetworkSession* session) const;

    eVeskMessageSystemServiceType m_service_type;
    CVeskNetworkSessionManager* m_nsm;
    CVeskMessageUserManager m_mum;
    CVeskMessageUserManager m_mum_auth;
    TCHAR m_error_msg[512];
    // Handlers are called from library threads while the application may
    // register more: readers take a snapshot, writers replace it.
    typedef std::vector<tagExtensionCallFunction> ExtensionCallFunctions;
    VESK_LOCAL std::shared_ptr<const ExtensionCallFunctions> ExtensionCallFunctionsSnapshot() const;
    std::mutex m_ExtensionCallFunctionMutex;
    std::shared_ptr<const ExtensionCallFunctions> m_ExtensionCallFunctionArray;
    mutable std::mutex m_LimitsMutex;
    tagVeskMessageSystemLimits m_Limits;
};

}  // namespace VeskMessageSystem

extern "C" VESK_API VeskMessageSystem::CVeskMessageSystem* VeskMessageSystemCreate();

#endif
