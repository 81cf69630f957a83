/// @file
/// Message layer of libvesk: the object an application holds, the session
/// handle, users, handler registrations and the message records.
///
/// Message records go on the wire exactly as they lie in memory: little-endian
/// integers, 8-bit characters, no padding other than the one the tables name.
///
/// Threads: each system runs an event loop thread (socket reads, accepts,
/// datagrams) and a parse thread (records, handshake, TCP messages; while it
/// sleeps, the event loop thread parses a lone read itself, never both at
/// once), and calls the application's handlers on them. Every public operation may be
/// called from an application thread or from a handler; where they differ
/// (waits), the operation says so.
#ifndef VESK_MESSAGE_SYSTEM_H
#define VESK_MESSAGE_SYSTEM_H

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "VeskNetworkSystem.h"
#include "VeskTypedefNoneWin32.h"
#include "VeskVersion.h"

/// @name Text helpers
/// For the fixed-width text fields of the message records. Thread-safe.
/// @{

/// Compares two NUL-terminated texts as strcmp does: below, at or above 0.
VESK_API int _tcscmp(const char* _s1, const char* _s2);
/// Copies up to and including the source's NUL, never more than
/// _Destination_size_chars characters, and NUL-fills the rest; returns
/// _Destination. A source of that many characters or more leaves the
/// destination without a NUL. _Count is not used: the copy is bounded by the
/// source's NUL and the destination size.
VESK_API char* _tcsncpy_s(char* _Destination, size_t _Destination_size_chars, const char* _Source, size_t _Count);
/// The length of a text, counting at most _Maximum characters (a field that
/// has no NUL gives _Maximum).
VESK_API size_t _tcscnlen(const char* _String, size_t _Maximum);
/// @}

/// The message layer: what an application uses.

namespace VeskMessageSystem {

using VeskNetworkSystem::CVeskNetworkSession;
using VeskNetworkSystem::CVeskNetworkSessionManager;
using VeskNetworkSystem::CVeskNetworkUDPSession;

/// The cipher a listener makes its sessions use; the client accepts the
/// server's choice.
enum eVeskMessageSystemCryptoAlgorithm : int {
    VESKMESSYS_CRYPTO_ALGORITHM_NONE = 0,      ///< No cipher: messages and logins travel in clear.
    VESKMESSYS_CRYPTO_ALGORITHM_3DES = 1,      ///< Triple-DES in CBC mode.
    VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH = 2,  ///< Blowfish in CBC mode.
};

/// The role of a system. Not used by the public operations.
enum eVeskMessageSystemServiceType : int {
    VESKMESSYS_SERVICE_TYPE_NONE = 0,    ///< Neither role fixed: listen and connect both work.
    VESKMESSYS_SERVICE_TYPE_SERVER = 1,  ///< A server.
    VESKMESSYS_SERVICE_TYPE_CLIENT = 2,  ///< A client.
};

/// Message types (tagMessageHeader::m_type). 0 to 65535 are the
/// application's; the library's own lie above.
enum eVeskMessageSystemMessageType : uint32_t {
    /// Not used on the wire.
    VESKMESSYS_MESSAGE_TYPE_UNKNOWN = 0x10000001,
    /// Registers the session event handler (tagMessageDataSesssionEvent); the
    /// library never sends it.
    VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT = 0x10000002,
    /// Not used on the wire: the handshake's end is the event
    /// NETWORK_EVENT_HANDSHAKE_FINISH.
    VESKMESSYS_MESSAGE_TYPE_HANDSHAKE_FINISH = 0x10000003,
    /// The client's login (tagMessageDataUserAuthRequest); handled by the
    /// library, not passed to handlers.
    VESKMESSYS_MESSAGE_TYPE_USER_AUTH_REQUSET = 0x10000004,
    /// The server's answer to a login (tagMessageDataUserAuthResult); handled
    /// by the library, not passed to handlers.
    VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT = 0x10000005,
    /// tagMessageDataUserMessage; the library gives it no meaning and TCP
    /// handlers do not receive it.
    VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE = 0x10000006,
    /// tagMessageDataUserState; the library gives it no meaning and TCP
    /// handlers do not receive it.
    VESKMESSYS_MESSAGE_TYPE_USER_STATE = 0x10000007,
    /// The first of the application's message types.
    VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_START = 0x00000000,
    /// The last of the application's message types.
    VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_END = 0x0000FFFF,
    /// Registers a handler for every TCP message of types 0 to 65535, of any
    /// size; such handlers run before the exact-type ones.
    VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL = 0x00010000,
};

/// The 8-byte header that starts every message.
struct tagMessageHeader {
    uint32_t m_type;     ///< An eVeskMessageSystemMessageType, or the application's type 0 to 65535.
    uint16_t m_size;     ///< The whole message in bytes, header included: at least 8.
    uint16_t m_padding;  ///< Not looked at; send 0.
};

/// Built by the library for local delivery of session events to a handler.
/// Packed so that the address sits at offset 12 as in the 32-bit layout.
#pragma pack(push, 4)
struct tagMessageDataSesssionEvent {
    tagMessageHeader m_header;       ///< VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, size 140.
    int16_t m_ev;                    ///< The event: a NETWORK_EVENT_* code.
    uint16_t m_padding;              ///< 0.
    sockaddr_storage m_SessionAddr;  ///< The peer's address (all zero when unknown).
};
#pragma pack(pop)

/// A login, sent by connect() with credentials once the handshake has finished.
struct tagMessageDataUserAuthRequest {
    tagMessageHeader m_header;  ///< VESKMESSYS_MESSAGE_TYPE_USER_AUTH_REQUSET, size 520.
    TCHAR m_uid[256];           ///< The user id, NUL-terminated unless it fills the field.
    TCHAR m_passwd[256];        ///< The password, likewise; in clear on a session without a cipher.
};

/// The server's answer to a login.
struct tagMessageDataUserAuthResult {
    tagMessageHeader m_header;  ///< VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT, size 524.
    int32_t m_result;           ///< 1 accepted, 0 refused (an unknown id and a wrong password alike).
    TCHAR m_uid[256];           ///< The user id of the request.
    TCHAR m_passwd[256];        ///< The password of the request, echoed back.
};

/// A text message between users; the library only defines its layout.
struct tagMessageDataUserMessage {
    tagMessageHeader m_header;  ///< VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, size 1544.
    TCHAR m_uid_from[256];      ///< The sending user's id.
    TCHAR m_uid_to[256];        ///< The receiving user's id.
    TCHAR m_message[1024];      ///< The text.
};

/// A user's state for another user; the library only defines its layout.
struct tagMessageDataUserState {
    tagMessageHeader m_header;  ///< VESKMESSYS_MESSAGE_TYPE_USER_STATE, size 584.
    TCHAR m_uid_from[256];      ///< The user whose state it is.
    TCHAR m_uid_to[256];        ///< The user it is told to.
    TCHAR m_state[64];          ///< The state as text.
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

/// The operations of a session handle; see CVeskMessageSession.
class CVeskMessageSessionAbstract {
public:
    /// Whether the TCP session the handle names still lasts. Any thread.
    virtual bool is_session_used() const = 0;
    /// Sends whole messages back to back as one record, waiting for the
    /// handshake on an application thread while the system's threads run: the
    /// record's body bytes (on an encrypted session the ciphertext, which is
    /// longer), written or queued for the peer; 0 when the session has ended;
    /// -1 when refused, with nothing sent: fewer than 8 bytes, an m_size below
    /// 8, m_size values that do not add up to exactly nMessageDataSize (the
    /// receiver cuts the record by them), more than one record holds
    /// (kMaxEncryptedPayload, kMaxPlainPayload), or a handshake that nothing
    /// can finish while this call waited (a library thread, the connect event,
    /// a system whose threads were not started); -1 also when the connection
    /// broke.
    ///
    /// Any thread. On an application thread it may also wait while the
    /// session's send backlog (kSendBacklogLimit) is full; in a handler it
    /// never waits, and a peer that lets the backlog overflow loses its
    /// session (its close event follows).
    virtual int send_message(const void* pMessageData, size_t nMessageDataSize) = 0;
    /// Whether the datagram socket the handle names is still open. Any thread.
    virtual bool is_udp_session_used() const = 0;
    /// Sends one datagram holding pMessageData from the handle's datagram
    /// socket to `hostname` and `service`, resolved in the socket's family:
    /// the bytes sent; -1 when the handle names no open datagram socket, the
    /// address does not resolve or the send fails. Any thread; a host name
    /// (rather than the numeric address a handler receives) may block in the
    /// resolver.
    virtual int sendto_udp_message(const void* pMessageData, size_t nMessageDataSize, const char* hostname,
                                   const char* service) = 0;
};

/// A reference to a TCP session or a datagram socket of the system's pools.
/// It owns neither, and names one session (one datagram socket) for its whole
/// life: once that has ended, is_session_used() is false and every operation
/// on the handle fails or does nothing, whoever uses the slot next and even
/// after the pool or the system is gone.
///
/// connect() and open_udp() return one for the caller to delete; handlers get
/// one that lives for the call, which they may copy to keep.
class VESK_API CVeskMessageSession : public CVeskMessageSessionAbstract {
public:
    /// A handle that names nothing.
    CVeskMessageSession();
    /// A handle that names the same session (datagram socket) as the other.
    CVeskMessageSession(const CVeskMessageSession& rVeskMessageSession);
    /// Names the same session as the other; returns a copy of this handle.
    CVeskMessageSession operator=(const CVeskMessageSession& rVeskMessageSession);
    /// Whether both name the same session and datagram socket, not merely the
    /// same pool slots.
    bool operator==(const CVeskMessageSession& rVeskMessageSession) const;
    /// The opposite of operator==.
    bool operator!=(const CVeskMessageSession& rVeskMessageSession) const;

    bool is_session_used() const override;
    int send_message(const void* pMessageData, size_t nMessageDataSize) override;
    bool is_udp_session_used() const override;
    int sendto_udp_message(const void* pMessageData, size_t nMessageDataSize, const char* hostname,
                           const char* service) override;
    /// Closes nothing: the session goes on without the handle.
    virtual ~CVeskMessageSession();

    /// Characters that always hold a user id from get_authenticated_uid(): 256
    /// and its NUL.
    static constexpr size_t kAuthenticatedUidCapacity = 257;
    /// The user this TCP session logged in as: on a server's session the id of
    /// the latest login it accepted there, on a client's the id the server
    /// accepted. Copies the id and its NUL into `uid`, which holds `size`
    /// characters, and returns true; returns false, with `uid` emptied when
    /// `size` allows, when the session has not logged in, has ended, or the id
    /// does not fit. The session keeps its own copy of the id, so deleting or
    /// changing users in the lists does not change the answer. Any thread.
    bool get_authenticated_uid(TCHAR* uid, size_t size) const;
    /// Why the session ended (eVeskSessionEndReason): VESK_END_NONE while it
    /// is open. Known from its close event on (on this side's own close(),
    /// from that call on), until its slot serves another session, which
    /// answers VESK_END_NONE again. Any thread; it answers after the system
    /// is deleted too.
    int get_end_reason() const;

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

/// The operations of a user; see CVeskMessageUser. A user object is not
/// guarded: one thread at a time.
class CVeskMessageUserAbstract {
public:
    /// The user id's field: NUL-terminated unless the id fills all 256
    /// characters, so read it with get_uid_size().
    virtual LPCTSTR get_uid() const = 0;
    /// The user id's length, at most 256; 0 for an empty user (one that a
    /// lookup did not find).
    virtual size_t get_uid_size() const = 0;
    /// Copies `uid` up to its NUL, at most 256 characters; a null `uid` changes
    /// nothing. `size` is not used.
    virtual void set_uid(LPCTSTR uid, size_t size) = 0;
    /// The password's field, as get_uid().
    virtual LPCTSTR get_passwd() const = 0;
    /// The password's length, at most 256.
    virtual size_t get_passwd_size() const = 0;
    /// Copies `passwd` as set_uid() copies an id.
    virtual void set_passwd(LPCTSTR passwd, size_t size) = 0;
};

/// A user id and password, each a text of at most 256 characters.
class VESK_API CVeskMessageUser : public CVeskMessageUserAbstract {
public:
    /// Characters of each field.
    static constexpr size_t kTextCapacity = 256;

    /// An empty user: id and password of length 0.
    CVeskMessageUser();
    /// A copy of the other user's id and password.
    CVeskMessageUser(const CVeskMessageUser& rVeskMessageUser);
    /// Takes the other user's id and password.
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

/// The operations of a user list; see CVeskMessageUserManager. Lookups find
/// the first user whose id equals `uid`, a NUL-terminated text; the size
/// arguments are not used. Any thread.
class CVeskMessageUserManagerAbstract {
public:
    /// Appends a user with this id and password (as CVeskMessageUser::set_uid
    /// copies them), also when the id is listed already: 1.
    virtual int add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size) = 0;
    /// Removes the first user with this id: 1, or 0 when there is none.
    virtual int delete_user(LPCTSTR uid, size_t uid_size) = 0;
    /// Empties the list: 1.
    virtual int delete_alluser() = 0;
    /// A copy of the first user with this id, or an empty user
    /// (get_uid_size() 0) when there is none. Safe while other threads change
    /// the list.
    virtual CVeskMessageUser reference_user(LPCTSTR uid, size_t uid_size) const = 0;
    /// The first user with this id in the list, or null. The pointer is valid
    /// only until the list next changes, which another thread may do at any
    /// time (a system's list grows with every accepted login): prefer
    /// reference_user().
    virtual CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) = 0;
    /// As the other get_user().
    virtual const CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) const = 0;
};

/// A list of users in insertion order; lookups find the first entry whose id
/// equals the key (a NUL-terminated text; the size argument is not used), at
/// the same cost whatever the list's length. Each entry stays where it is
/// until it is deleted, so a pointer from get_user stays valid until then.
/// Lookups follow the id an entry was added with: to change an id, delete the
/// user and add it again rather than writing through that pointer.
///
/// The list guards itself: authentication adds to it on a library thread while
/// the application reads it.
class VESK_API CVeskMessageUserManager : public CVeskMessageUserManagerAbstract {
public:
    /// An empty list.
    CVeskMessageUserManager();
    /// A copy of the other list, taken under its lock.
    CVeskMessageUserManager(const CVeskMessageUserManager& rVeskMessageUserManager);
    /// Replaces the list with a copy of the other, under both locks.
    CVeskMessageUserManager& operator=(const CVeskMessageUserManager& rVeskMessageUserManager);

    int add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size) override;
    int delete_user(LPCTSTR uid, size_t uid_size) override;
    int delete_alluser() override;
    CVeskMessageUser reference_user(LPCTSTR uid, size_t uid_size) const override;
    CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) override;
    const CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) const override;
    virtual ~CVeskMessageUserManager();

    /// @cond INTERNAL
    // A copy of the first user with this id, taken under the list's lock;
    // false when there is none. The library's own: not exported.
    VESK_LOCAL bool find_user(LPCTSTR uid, CVeskMessageUser* out) const;
    // The entry of an accepted login: the first with this id, its password
    // brought up to date, or a new one when there is none. So the list holds
    // one entry per user however often each logs in.
    VESK_LOCAL CVeskMessageUser* keep_login(LPCTSTR uid, LPCTSTR passwd);
    // Exchanges the entries of two lists.
    VESK_LOCAL void swap_users(CVeskMessageUserManager& other);
    /// @endcond

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

/// A handler: receives a message or a session event. `session` names the
/// session or datagram socket it came on (valid for the call; copy it to keep
/// it), `host` and `service` are the peer's numeric address and port, `data`
/// is the message from its header on (valid only during the call, not
/// aligned) and `size` the bytes that may be read there. The result is
/// ignored. Runs on the parsing thread (TCP messages, most session events:
/// the parse thread, or the event loop thread for a lone read) or the event
/// loop thread (datagrams, accept events), and in the connect event on the
/// thread inside connect(); it must not block for long, since it holds up
/// every session of the system, nor wait for another message, datagram or
/// accept, which the thread it runs on may be the one to deliver.
typedef int (*ty_ExtensionCallFunction)(CVeskMessageSession* session, const char* host, const char* service,
                                        const void* data, size_t size);

/// A handler registration: the message type it is for, its size rule and the
/// handler.
///
/// TCP messages of the application's types (0 to 65535) go to every
/// registration for VESKMESSYS_MESSAGE_TYPE_USER_EXTENSION_ALL first, then to
/// every one whose m_type and m_size equal the message's; other types are
/// dropped. A datagram goes to the first registration of its exact type whose
/// m_size is at most the datagram's length, with `size` m_size. Session events
/// go to the first registration for VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT with
/// m_size 0 to 140.
struct tagExtensionCallFunction {
    /// The message type, or one of the registration types above.
    uint32_t m_type;
    /// The size rule: the message's exact m_size (TCP), its least length
    /// (datagrams); 0 to 140 for the session event handler.
    uint16_t m_size;
    /// The handler; a null one is skipped.
    ty_ExtensionCallFunction m_call_func;
};

/// Deadlines and limits of a system, which bound what a peer can make it hold.
/// Durations are in milliseconds; 0 turns a deadline off. Defaults:
/// VeskMessageSystemDefaultLimits().
struct tagVeskMessageSystemLimits {
    /// A server session whose handshake has not finished by then is closed.
    uint32_t m_handshake_deadline_ms;
    /// connect gives up on the TCP connection after this (it returns null); a
    /// session connected with credentials is closed when its handshake and
    /// the login answer have not come by then.
    uint32_t m_connect_deadline_ms;
    /// An established session that received no record for this long is
    /// closed; off by default.
    uint32_t m_idle_deadline_ms;
    /// A session whose logins were refused this many times is closed; 0
    /// never closes one for that.
    uint32_t m_max_refused_logins;
    /// The listen backlog: connections the kernel queues before they are
    /// accepted.
    int32_t m_listen_backlog;
    /// Serve only logged-in users: a server hands no message of the
    /// application's types (0 to 65535) of a session that has not logged in
    /// to any handler, and closes such a session m_login_deadline_ms after its
    /// handshake has finished. Login requests are still answered and session
    /// events still reported. Accepted sessions only: a client's sessions are
    /// not affected. Off by default, so that every session's messages reach
    /// the handlers. A change applies to the messages received from then on,
    /// and its deadline to the handshakes that finish from then on.
    bool m_require_login;
    /// With m_require_login: a server session that has not logged in this long
    /// after its handshake finished is closed; 0 never closes one for that.
    uint32_t m_login_deadline_ms;
};

/// The limits a new system starts with: handshake and connect deadlines of
/// 30 s, no idle deadline, 3 refused logins, the system's largest backlog,
/// logins not required (with a login deadline of 30 s once they are).
/// Any thread.
extern "C" VESK_API tagVeskMessageSystemLimits VeskMessageSystemDefaultLimits();

/// Why the library ended a TCP session: in the log line it writes and as the
/// index of tagVeskMessageSystemCounters::m_sessions_ended. New reasons are
/// added before VESK_END_REASON_COUNT, which never goes past
/// kVeskEndReasonSlots.
enum eVeskSessionEndReason : int {
    VESK_END_NONE = 0,                    ///< Not ended, or not by anything the library saw.
    VESK_END_PEER_CLOSED = 1,             ///< The peer closed its side of the connection.
    VESK_END_RESET = 2,                   ///< Reading or writing failed: a reset, or another socket error.
    VESK_END_BAD_RECORD = 3,              ///< A record the session cannot take: unknown type, too long, undecryptable.
    VESK_END_HANDSHAKE_FAILED = 4,        ///< A handshake message out of order or malformed, or no common cipher.
    VESK_END_HANDSHAKE_DEADLINE = 5,      ///< The handshake did not finish within its deadline.
    VESK_END_CONNECT_DEADLINE = 6,        ///< connect() with credentials got no handshake and login answer in time.
    VESK_END_LOGIN_DEADLINE = 7,          ///< Under the login policy, no login within the login deadline.
    VESK_END_IDLE_DEADLINE = 8,           ///< No record received within the idle deadline.
    VESK_END_REFUSED_LOGINS = 9,          ///< Too many logins refused on the session.
    VESK_END_SEND_BACKLOG_FULL = 10,      ///< The peer read too slowly: the send backlog went over its limit.
    VESK_END_CLOSED_BY_APPLICATION = 11,  ///< The application closed it (close(), or a refused login's answer).
    VESK_END_SYSTEM_STOPPED = 12,         ///< The system was deleted while the session was open.
    VESK_END_SERVER_KEY_MISMATCH = 13,    ///< A client that pinned the server's key was shown another one.
    VESK_END_REASON_COUNT = 14            ///< The number of reasons; not a reason.
};

/// Room for reasons in tagVeskMessageSystemCounters, so that adding a reason
/// does not change the structure's size.
constexpr int kVeskEndReasonSlots = 32;

/// A short, fixed English name of a reason ("peer closed", "handshake
/// deadline"…), the one the log lines use; "unknown" for a value that is not
/// a reason. The text is static. Any thread.
extern "C" VESK_API const char* VeskSessionEndReasonText(int reason);

/// What a system has done since it was made, over TCP: datagrams are not
/// counted. Every field only grows; each is read on its own (a copy is not
/// one instant across fields). A session counts as ended once nothing of the
/// library works in it any more, shortly after its close event.
struct tagVeskMessageSystemCounters {
    uint64_t m_sessions_accepted;   ///< TCP sessions accepted by listeners.
    uint64_t m_sessions_connected;  ///< TCP sessions opened by connect().
    /// Sessions ended, by eVeskSessionEndReason.
    uint64_t m_sessions_ended[kVeskEndReasonSlots];
    uint64_t m_handshakes_finished;  ///< Handshakes finished, both roles.
    /// Handshakes that ended the session instead: a handshake message out of
    /// order or malformed, no common cipher, or another server key than the
    /// pinned one (VESK_END_HANDSHAKE_FAILED, VESK_END_SERVER_KEY_MISMATCH).
    uint64_t m_handshakes_failed;
    uint64_t m_logins_accepted;   ///< Login requests this server accepted.
    uint64_t m_logins_refused;    ///< Login requests this server refused.
    uint64_t m_records_received;  ///< Records of every type taken from TCP peers.
    uint64_t m_records_sent;      ///< Records of every type written to TCP peers.
    uint64_t m_bytes_received;    ///< TCP bytes read, headers included.
    uint64_t m_bytes_sent;        ///< TCP bytes written, headers included.
};

/// How much a log line matters.
enum eVeskLogLevel : int {
    VESK_LOG_ERROR = 0,    ///< Something the application asked for failed (a listen, a bind).
    VESK_LOG_WARNING = 1,  ///< A peer misbehaved or was cut off (bad records, deadlines, refused logins).
    VESK_LOG_INFO = 2,     ///< A session ended for an ordinary reason.
};

/// Receives the library's log lines: `text` is one line without its newline,
/// valid for the call. Called on any of the system's threads or on the thread
/// of the call that failed, never under a lock of the library's; it must not
/// block for long, and must not delete the system.
typedef void (*ty_VeskLogFunction)(void* context, int level, const char* text);

/// The operations of a system; see CVeskMessageSystem. Results: `int`
/// operations return 1 (or a count) for success and 0 for failure, and give
/// no reason.
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
    /// Makes the pool of `session_max` TCP sessions, accepted and connected
    /// alike: 1; 0 for a negative size, a pool that exists already (release
    /// it first) or no memory. The size is fixed until the pool is released.
    /// Any thread.
    virtual int CreateSessions(int session_max) = 0;
    /// Makes the pool of listeners (one per address a listened service
    /// resolves to), as CreateSessions(). Servers only.
    virtual int CreateListenSessions(int listen_session_max) = 0;
    /// Makes the pool of datagram sockets, as CreateSessions().
    virtual int CreateUDPSessions(int udp_session_max) = 0;
    /// Closes every TCP session and frees the pool, once no thread works in it
    /// any more; no close event is raised. Handles then name ended sessions.
    /// Any thread, also a handler (the pool is then freed with the system).
    virtual void ReleaseSessions() = 0;
    /// Closes every listener and frees their pool, as ReleaseSessions().
    virtual void ReleaseListenSessions() = 0;
    /// Closes every datagram socket and frees their pool, as ReleaseSessions().
    virtual void ReleaseUDPSessions() = 0;
    /// Starts the parse thread and prepares the event loop: 1, also when
    /// already started; 0 when either cannot be had.
    virtual int InitSocketEvent() = 0;
    /// Starts the event loop thread, which runs until the system is deleted
    /// (sockets registered later are watched too): 1, also when it already
    /// runs; 0 when it cannot start. Sends that wait for a handshake, and
    /// connect() with credentials, need both threads running.
    virtual int DispatchSocketEvent() = 0;
    /// Listens for TCP connections on `service` (a port number or name of at
    /// most 31 characters) on every local address of `family` (AF_INET,
    /// AF_INET6, or AF_UNSPEC for both), one listener each, with a fresh RSA
    /// key pair (or the persistent one of set_server_key()); its sessions use `VeskMessageSystemCryptoAlgorithm`. 1
    /// when the port is listened on afterwards (also when this system already did); 0 when the service does not
    /// resolve, no listener is free, or no address could be listened on (another program holds the port). Any thread.
    ///
    /// Each accepted connection raises NETWORK_EVENT_ACCEPT on the event loop
    /// thread, then its handshake runs; NETWORK_EVENT_HANDSHAKE_FINISH follows
    /// on the parsing thread.
    virtual int listen(const char* service, int family,
                       eVeskMessageSystemCryptoAlgorithm VeskMessageSystemCryptoAlgorithm) = 0;
    /// Replaces the list of users that may log in (kept apart from the list
    /// add_user() and logins change) with the file's white-space separated
    /// pairs, normally one `uid<TAB>password` line each; ids and passwords
    /// longer than 255 characters are skipped with their pair. 1 when the file
    /// was read; 0 when it cannot be opened, and the list is left as it was.
    /// Any thread; a login checked meanwhile may see the list partly loaded.
    virtual int load_auth_user_list(LPCTSTR lpFileName) = 0;
    /// Connects to `hostname` (a name, IPv4 or IPv6 address) and `service` and
    /// starts the handshake: a new handle, which the caller deletes; null when
    /// the name does not resolve, no session is free, the connection fails or
    /// times out (tagVeskMessageSystemLimits::m_connect_deadline_ms), or the
    /// system is released or deleted meanwhile. It waits for the TCP
    /// connection, not for the handshake.
    ///
    /// Any thread; a handler should connect only to a peer that answers at
    /// once. Raises NETWORK_EVENT_CONNECT on the calling thread before it
    /// returns, then NETWORK_EVENT_HANDSHAKE_FINISH on the parsing thread.
    virtual CVeskMessageSession* connect(const char* hostname, const char* service) = 0;
    /// Connects as the other connect(), then logs in with `uid` and `passwd`
    /// (each copied up to its NUL, at most 256 characters; the sizes are not
    /// used). On an application thread it waits for the handshake, which needs
    /// both threads running, and sends the login; in a handler the session
    /// keeps the login and sends it when its handshake has finished. A new
    /// handle; null when connecting failed or the login could be neither sent
    /// nor kept (the session is then closed).
    ///
    /// The answer comes later, on the parsing thread: an accepted user is added
    /// to this system's user list (reference_user()); a refused one has its
    /// session closed, so is_session_used() turns false.
    virtual CVeskMessageSession* connect(const char* hostname, const char* service, LPCTSTR uid, size_t uid_size,
                                         LPCTSTR passwd, size_t passwd_size) = 0;
    /// Ends the TCP session the handle names, if it still lasts; also the one
    /// being opened, from the connect event. No close event is raised on this
    /// side. The handle stays the caller's to delete; null is ignored. Any
    /// thread.
    virtual void close(CVeskMessageSession* session) = 0;
    /// Opens an unbound datagram socket of `family` (AF_INET or AF_INET6) for
    /// sending; answers sent back to it reach the handlers on the event loop
    /// thread. A new handle, which the caller deletes; null when no datagram
    /// socket is free or the socket cannot be made. Any thread.
    virtual CVeskMessageSession* open_udp(int family) = 0;
    /// Closes the datagram socket the handle names; the handle stays the
    /// caller's to delete; null is ignored. Any thread.
    virtual void close_udp(CVeskMessageSession* session) = 0;
    /// Binds datagram sockets to `service` (at most 31 characters) on every
    /// local address of `family`, one per address, as far as the pool holds:
    /// the number bound; 0 when the service does not resolve or none could be
    /// bound. Each datagram raises NETWORK_EVENT_READ and then reaches its
    /// handler, both on the event loop thread. Any thread.
    virtual int open_udp_bind(const char* service, int family) = 0;
    /// Closes every datagram socket bound to `service`. Any thread.
    virtual void close_udp_bind(const char* service) = 0;
    /// Adds to the system's user list, which accepted logins also add to (on
    /// the parsing thread); as CVeskMessageUserManager::add_user().
    virtual int add_user(LPCTSTR uid, size_t uid_size, LPCTSTR passwd, size_t passwd_size) = 0;
    /// Removes from the system's user list; as
    /// CVeskMessageUserManager::delete_user().
    virtual int delete_user(LPCTSTR uid, size_t uid_size) = 0;
    /// Empties the system's user list: 1.
    virtual int delete_alluser() = 0;
    /// A copy of a user of the system's user list, or an empty user; as
    /// CVeskMessageUserManager::reference_user().
    virtual CVeskMessageUser reference_user(LPCTSTR uid, size_t uid_size) const = 0;
    /// A user of the system's user list, valid until the list next changes
    /// (a login may change it at any time), or null; prefer reference_user().
    virtual CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) = 0;
    /// As the other get_user().
    virtual const CVeskMessageUser* get_user(LPCTSTR uid, size_t uid_size) const = 0;
    /// Appends a handler registration (see tagExtensionCallFunction): 1. Any
    /// thread, also a handler: a dispatch in progress goes on with the list it
    /// started with.
    virtual int add_ExtensionCallFunction(const tagExtensionCallFunction& ExtensionCallFunction) = 0;
    /// Removes the first registration for message type `type`: 1, or 0 when
    /// there is none. Any thread.
    virtual int delete_ExtensionCallFunction(int type) = 0;
    /// Removes every registration: 1. Any thread.
    virtual int delete_allExtensionCallFunction() = 0;
};

/// The one object an application holds. Made by VeskMessageSystemCreate and
/// destroyed with delete on a CVeskMessageSystem pointer (the abstract
/// interface has no virtual destructor).
///
/// The calling order matters and is not checked: size the pools
/// (Create*Sessions), register handlers and load the user list,
/// InitSocketEvent(), listen() / open_udp() / open_udp_bind(),
/// DispatchSocketEvent(), then connect() with credentials and send.
class VESK_API CVeskMessageSystem : public CVeskMessageSystemAbstract {
public:
    /// A system with empty pools and no threads; applications use
    /// VeskMessageSystemCreate().
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
    /// Closes what is still open, ends a connect() still waiting for its peer
    /// (it returns null) and stops the threads. Also allowed inside one of the
    /// system's handlers: no handler runs after it, and the handler's thread
    /// frees the rest once the handler has returned. The system must not be
    /// used afterwards, from any thread; handles may outlive it.
    virtual ~CVeskMessageSystem();

    /// Closes every listener of `service`; sessions accepted from it go on.
    /// Any thread.
    void close_listen(const char* service);

    /// Replaces the system's limits; sessions opened afterwards follow them.
    /// 1; 0 (nothing changed) for a negative backlog. Any thread.
    int set_limits(const tagVeskMessageSystemLimits& limits);
    /// A copy of the system's limits. Any thread.
    tagVeskMessageSystemLimits get_limits() const;

    /// Installs the function that receives the system's log lines, with the
    /// context it is given back; a null function turns logging off (the
    /// default: the library never writes to stderr itself). Lines under
    /// way on other threads may still reach the previous function. Any
    /// thread.
    void set_log_function(ty_VeskLogFunction function, void* context);
    /// Copies what the system has done so far into `counters`. Any thread.
    void get_counters(tagVeskMessageSystemCounters* counters) const;

    /// Characters of a server key fingerprint and its NUL. A fingerprint is
    /// the SHA-256 of the server's PKCS #1 DER public key (the bytes its
    /// ServerKeyExchange carries) in 64 lowercase hex digits, without
    /// separators: what `sha256sum` prints for the public key file that
    /// vesk-keygen writes.
    static constexpr size_t kServerKeyFingerprintSize = 65;
    /// Makes the listeners this system opens from now on use one persistent
    /// RSA key pair instead of a fresh pair per listen(), so that clients can
    /// pin its fingerprint (pin_server_key()). `der_private_key` is a PKCS #1
    /// DER RSAPrivateKey (as RSA_generate_key_der() and vesk-keygen write
    /// it) of 1024 to 1280 bits, the longest modulus whose blocks a
    /// ClientKeyExchange field carries; the key is checked and copied, and
    /// the caller may wipe its bytes afterwards. A null key (or a size of 0)
    /// goes back to a fresh pair per listen(). Listeners already open keep
    /// their key. 1; 0, with nothing changed, when the bytes are not such a
    /// key or its parts do not belong together. Any thread; the check takes
    /// milliseconds.
    int set_server_key(const unsigned char* der_private_key, size_t size);
    /// Makes secure connects to `host` and `service`, given exactly as these
    /// texts (a pin for "localhost" does not cover "127.0.0.1"), accept only
    /// the server key whose fingerprint is `fingerprint` (64 hex digits,
    /// either case; see kServerKeyFingerprintSize), and only with a cipher.
    /// A ServerKeyExchange with any other key, or a server that chooses no
    /// cipher, fails the handshake before the ClientKeyExchange would leave:
    /// neither key material nor the login is sent. The session then ends
    /// with VESK_END_SERVER_KEY_MISMATCH (a key) or VESK_END_HANDSHAKE_FAILED
    /// (no cipher): connect() with credentials returns null; connect()
    /// without them returns the session, whose close event follows. A null
    /// `fingerprint` removes the endpoint's pin. Applies to the connects
    /// that start afterwards. 1; 0 for a fingerprint that is not 64 hex
    /// digits, a null host or service, or when 1024 endpoints are pinned
    /// already. Any thread.
    int pin_server_key(const char* host, const char* service, const char* fingerprint);
    /// Remembers server keys in a file, as SSH's known hosts do (trust on
    /// first use): a secure connect to a host and service that has no
    /// pin_server_key() pin and no entry in the file yet accepts the server's
    /// key at this first contact, adds the endpoint with the key's
    /// fingerprint to the file, and from then on requires that key (under a
    /// cipher) as a pin would, with the same failures. The file is read now:
    /// one endpoint per line, `HOST SERVICE FINGERPRINT` separated by blanks,
    /// as given to connect(); empty lines and lines starting with `#` are
    /// skipped. A missing file is an empty one. When it learns a key, the
    /// library writes the whole file anew (a new file of mode 0600, renamed
    /// over the old one, so a reader never sees half of it; comments are not
    /// kept), on the thread that parses the handshake; a file that cannot be
    /// written leaves the key required for this system's life. At most 1024
    /// endpoints, hosts of at most 255 and services of at most 31 characters
    /// without blanks: others are not remembered. Trust on first use is only
    /// as good as the first contact: a man in the middle present then is
    /// remembered instead of the server. A null path stops using a file. 1; 0,
    /// with nothing changed, when the file is not a regular file of at most
    /// 1024 well-formed lines. Any thread.
    int set_known_servers_file(const char* path);
    /// Writes the fingerprint of a PKCS #1 DER RSA key (RSAPrivateKey or
    /// RSAPublicKey: both give the fingerprint of the public key) and its
    /// NUL into `fingerprint`, which holds `fingerprint_size` characters. 1;
    /// 0 when the bytes are not such a key or the text does not fit. Any
    /// thread.
    static int server_key_fingerprint(const unsigned char* der_key, size_t size, char* fingerprint,
                                      size_t fingerprint_size);

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
    // Whether the session must have logged in before its messages of the
    // application's types go to the handlers: a server session while logins
    // are required.
    VESK_LOCAL bool RequiresLogin(const CVeskNetworkSession* session) const;
    // Notes on the session the user it logged in as, which ends the wait for
    // its login.
    VESK_LOCAL void AcceptLogin(CVeskNetworkSession* session, LPCTSTR uid) const;
    // With logins required, a server session whose handshake has just finished
    // must log in within the login deadline.
    VESK_LOCAL void StartLoginDeadline(CVeskNetworkSession* session) const;

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
    // m_Limits.m_require_login, read once per received read without the lock.
    std::atomic<bool> m_bRequireLogin{false};
    std::atomic<uint64_t> m_LoginsAccepted{0};
    std::atomic<uint64_t> m_LoginsRefused{0};
};

}  // namespace VeskMessageSystem

/// Makes a system, the one object an application holds; delete it when done.
/// Never null (std::bad_alloc when memory runs out). Any thread.
extern "C" VESK_API VeskMessageSystem::CVeskMessageSystem* VeskMessageSystemCreate();

#endif
