/// @file
/// Transport layer of libvesk: the TCP session object with its rings and key
/// material, the listener and datagram socket objects, and the session manager
/// that owns them in fixed pools.
///
/// Applications see little of it: the session event codes (NETWORK_EVENT_*),
/// the cipher and record types, the record header and limits, the callback
/// types, nslookup(), and CVeskNetworkSession and CVeskNetworkUDPSession as
/// opaque types behind a CVeskMessageSession handle. The rest is the
/// library's own, marked INTERNAL: installed only because the message layer's
/// class layouts contain it (declarations and members; their code is in the
/// library), not for applications, and not part of the reference.
#ifndef VESK_NETWORK_SYSTEM_H
#define VESK_NETWORK_SYSTEM_H

#include <event2/event_struct.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "VeskTypedefNoneWin32.h"

/// @cond INTERNAL
struct VeskNetworkTestAccess;

namespace vesk::crypto {
class RecordCipher;
class RsaKey;
struct ServerKeyPair;
}  // namespace vesk::crypto
namespace vesk::net {
class ByteReader;
enum class FailureReason : uint8_t;
}  // namespace vesk::net
/// @endcond

/// The transport: TCP sessions in records, listeners, datagram sockets and
/// their manager. The message layer (VeskMessageSystem) is built on it.
namespace VeskNetworkSystem {

/// The cipher a listener makes its sessions use (the message layer's
/// eVeskMessageSystemCryptoAlgorithm has the same values).
enum eCryptoAlgorithm : int {
    CRYPTO_ALGORITHM_NONE = 0,      ///< No cipher: records travel in clear.
    CRYPTO_ALGORITHM_3DES = 1,      ///< Triple-DES (EDE3) in CBC mode.
    CRYPTO_ALGORITHM_BLOWFISH = 2,  ///< Blowfish in CBC mode.
};

/// Whether one direction of a session is encrypted yet.
enum eCryptoState : int {
    CRYPTO_STATE_PLAIN = 0,     ///< Before that direction's ChangeCipherSpec.
    CRYPTO_STATE_CRYPTOED = 1,  ///< After it: records carry ciphertext.
};

/// The record types: the first byte of tagDataHeader.
enum eCryptoMessageType : int {
    CRYPTO_MES_TYPE_PLAIN = 0,               ///< Messages in clear (a session without a cipher).
    CRYPTO_MES_TYPE_HANDSHAKE = 1,           ///< One or more handshake messages.
    CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC = 2,  ///< The sender encrypts from the next record on.
    CRYPTO_MES_TYPE_CRYPTOED = 3,            ///< Messages as CBC ciphertext with PKCS #5 padding.
};

/// The state of a session's socket.
enum eSokcetState : int {
    SOCKET_STATE_ERROR = -1,            ///< A socket call failed.
    SOCKET_STATE_CONNECTION_CLOSE = 0,  ///< The peer closed the connection.
    SOCKET_STATE_NORMAL = 1,            ///< Open.
};

/// @name Session event codes
/// One bit each; a handler of VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT finds one
/// in tagMessageDataSesssionEvent::m_ev.
/// @{

/// A listener accepted a connection; its handshake has not run yet. Raised on
/// the event loop thread.
constexpr short NETWORK_EVENT_ACCEPT = 1;
/// connect() reached the server and the handshake has just begun. Raised on
/// the thread that called connect(), before it returns.
constexpr short NETWORK_EVENT_CONNECT = 2;
/// The peer ended the session or the connection failed, after every message
/// it sent was delivered; not raised when this side closes. Raised on the
/// parse thread (TCP) or the event loop thread (a datagram socket whose read
/// failed).
constexpr short NETWORK_EVENT_CLOSE = 4;
/// TCP: a batch of received data, before its messages (parse thread).
/// Datagram: before each datagram's message (event loop thread).
constexpr short NETWORK_EVENT_READ = 8;
/// A datagram socket can be written to. The message layer never asks for it,
/// so its handlers do not see it.
constexpr short NETWORK_EVENT_WRITE = 16;
/// Both directions now use the session's cipher; from now on send_message()
/// works on the session, inside this event's handler too. Raised on the parse
/// thread.
constexpr short NETWORK_EVENT_HANDSHAKE_FINISH = 256;
/// @}

/// The 6-byte header of every record: type, version 2.0, and the body length as
/// a 24-bit big-endian number.
struct tagDataHeader {
    unsigned char m_CryptoMessageType;     ///< An eCryptoMessageType.
    unsigned char m_MajorProtocolVersion;  ///< 2.
    unsigned char m_MinerProtocolVersion;  ///< 0.
    unsigned char m_body_length_high;      ///< Body length, bits 16 to 23.
    unsigned char m_body_length_mid;       ///< Body length, bits 8 to 15.
    unsigned char m_body_length_low;       ///< Body length, bits 0 to 7.
};
static_assert(sizeof(tagDataHeader) == 6, "the record header is 6 bytes");

/// The 4-byte header of every handshake message: type and 24-bit body length.
struct tagHandShakeHeader {
    unsigned char m_HandShakeMessageType;  ///< 0 ClientHello, 1 ServerHello, 2 ServerKeyExchange,
                                           ///< 3 ServerHelloDone, 4 ClientKeyExchange, 5 Finish.
    unsigned char m_body_length_high;      ///< Body length, bits 16 to 23.
    unsigned char m_body_length_mid;       ///< Body length, bits 8 to 15.
    unsigned char m_body_length_low;       ///< Body length, bits 0 to 7.
};
static_assert(sizeof(tagHandShakeHeader) == 4, "the handshake header is 4 bytes");

/// @name Record limits
/// They follow from the 20000-byte rings: a whole record fits in the 19999
/// usable bytes, and an encrypted body is a multiple of 8.
/// @{

/// Bytes of tagDataHeader.
constexpr size_t kRecordHeaderSize = sizeof(tagDataHeader);
/// The largest record body.
constexpr size_t kMaxRecordBody = 19993;
/// The most message bytes one send_message() takes on a session without a
/// cipher.
constexpr size_t kMaxPlainPayload = kMaxRecordBody;
/// The most message bytes one send_message() takes on an encrypted session.
constexpr size_t kMaxEncryptedPayload = 19991;
/// Bytes a session keeps for a peer that reads slower than it is sent to;
/// beyond them an application sender waits and a library thread gives up the
/// session rather than stall every other one.
constexpr size_t kSendBacklogLimit = size_t{1} << 20;
/// @}

class CVeskNetworkSession;
class CVeskNetworkSessionListen;
class CVeskNetworkUDPSession;
class CVeskNetworkSessionManager;

/// The message layer's callback for a TCP session: `ev` is a NETWORK_EVENT_*
/// code, `param` the value given with the callback. Called on the thread that
/// raises the event.
typedef int (*ty_cbfunc_Event)(CVeskNetworkSession* session, short ev, void* param);
/// The message layer's callback for a datagram socket, as ty_cbfunc_Event.
typedef int (*ty_cbfunc_UDPEvent)(CVeskNetworkUDPSession* session, short ev, void* param);
/// A libevent callback of a socket object; runs on the event loop thread.
typedef void (*ty_libevent_handler)(int fd, short libevent, void* arg);
/// Receives the transport's log lines (the message layer's log function):
/// `level` and the line, without its newline, valid for the call.
typedef void (*ty_LogFunction)(void* context, int level, const char* text);

/// @cond INTERNAL
// A fixed-capacity byte field that holds key material: only the first
// Length() bytes count. Bytes behind them are never read, so the storage is
// not filled at construction and the pages of an unused pool slot are never
// touched.
template <int Capacity>
class CVeskKeyField {
public:
    CVeskKeyField() : m_Length(0) {}

    // Stores `length` bytes (1..Capacity); -1 leaves the field unchanged.
    int Set(const unsigned char* key, int length);
    // Copies into a buffer of `capacity` bytes, zero-filled behind the key.
    int Get(unsigned char* buffer, int capacity) const;
    void Clear();
    int Length() const { return m_Length; }
    const unsigned char* Data() const { return m_Bytes; }

private:
    unsigned char m_Bytes[Capacity];
    int m_Length;
};

// A ring of raw bytes with one producer thread and one consumer thread. One
// byte always stays empty, so equal points mean empty and the ring holds at
// most Usable() bytes. Its storage is allocated by Allocate, before either
// side runs, and wiped and given back by Reset: a ring unused costs no
// memory. Only held bytes are ever read.
class CVeskByteRing {
public:
    // The default size, the receive ring's: what one read of delivered
    // payload takes at most.
    static constexpr size_t kSize = 20000;
    static constexpr size_t kUsable = kSize - 1;

    // Bytes that lie in one block, such as a piece of the ring's storage.
    struct Span {
        const unsigned char* data;
        size_t length;
    };

    // The consumer's look at the ring: the bytes held when it was taken, read
    // through like a bounded reader over a fixed span. Bytes the producer
    // appends afterwards are not part of it, so every decision taken from one
    // view agrees with every read through it.
    class View {
    public:
        size_t Held() const { return m_Held; }
        // The n bytes starting `offset` bytes past the read point, as the one
        // or two spans they lie in (one empty span when n is 0); 0 when the
        // view does not hold them.
        int ReadableSpans(size_t offset, size_t n, Span spans[2]) const;
        // Copies n bytes starting `offset` bytes past the read point; false
        // when the view holds fewer.
        bool Peek(unsigned char* out, size_t n, size_t offset = 0) const;

    private:
        friend class CVeskByteRing;
        View(const unsigned char* buffer, size_t size, size_t read, size_t held)
            : m_Buffer(buffer), m_Size(size), m_Read(read), m_Held(held)
        {
        }

        const unsigned char* m_Buffer;
        size_t m_Size;
        size_t m_Read;
        size_t m_Held;
    };

    CVeskByteRing() : m_Size(kSize), m_Buffer(nullptr), m_ReadPoint(0), m_WritePoint(0) {}
    ~CVeskByteRing();
    CVeskByteRing(const CVeskByteRing&) = delete;
    CVeskByteRing& operator=(const CVeskByteRing&) = delete;

    // Allocates the storage unless it has some; false when it cannot be had.
    // Only while neither side runs.
    bool Allocate();
    // Replaces the storage by one of `size` bytes that holds the same bytes;
    // false, changing nothing, when they do not fit or it cannot be had.
    // Only while one thread is both the producer and the consumer; earlier
    // views are not to be read.
    bool Resize(size_t size);
    size_t Size() const { return m_Size; }
    size_t Usable() const { return m_Size - 1; }
    size_t Held() const { return Look().Held(); }
    size_t Free() const { return m_Buffer != nullptr ? Usable() - Held() : 0; }

    // Producer: the free space as at most two contiguous spans, for a
    // scatter read straight into the ring; Commit publishes what was filled.
    int WritableSpans(iovec spans[2]);
    void Commit(size_t n);
    // Producer: appends the bytes of all `count` spans, in order, and
    // publishes them at once; or nothing when they do not all fit.
    bool Append(const Span* spans, size_t count);
    bool Append(const unsigned char* data, size_t n)
    {
        const Span span{data, n};
        return Append(&span, 1);
    }

    // Consumer: the bytes held now, each point read once.
    View Look() const;
    // Consumer: one look's Peek.
    bool Peek(unsigned char* out, size_t n, size_t offset = 0) const { return Look().Peek(out, n, offset); }
    // Consumer: frees n held bytes; false, freeing nothing, when fewer are
    // held.
    bool Consume(size_t n);
    // Consumer: takes up to n bytes; returns how many.
    size_t Read(unsigned char* out, size_t n);

    // Empties the ring and gives its storage back, so that nothing of it
    // survives for the next user. Only while neither side runs.
    void Reset();

    size_t ReadPoint() const { return m_ReadPoint.load(std::memory_order_acquire); }
    size_t WritePoint() const { return m_WritePoint.load(std::memory_order_acquire); }

private:
    size_t Distance(size_t from, size_t to) const { return to >= from ? to - from : to + m_Size - from; }

    size_t m_Size;
    unsigned char* m_Buffer;
    std::atomic<size_t> m_ReadPoint;
    std::atomic<size_t> m_WritePoint;
};

// One libevent registration of a socket object, or a timer of one, and
// whether it is armed.
class CVeskEventRecord {
public:
    CVeskEventRecord();
    CVeskEventRecord(const CVeskEventRecord&) = delete;
    CVeskEventRecord& operator=(const CVeskEventRecord&) = delete;

    // Prepares the registration on `base`; adds nothing. Ignored while armed.
    // A timer (neither EV_READ nor EV_WRITE) takes -1 as its descriptor.
    void Set(event_base* base, SOCKET fd, short libevent, ty_libevent_handler fn, void* arg);
    // Arms the prepared registration; -1 when it was never prepared.
    int Add(const timeval* tv);
    // Disarms; -1 when it was not armed.
    int Del();
    bool IsArmed() const { return m_bArmed.load(std::memory_order_acquire); }

private:
    event m_Event;
    bool m_bPrepared;
    std::atomic<bool> m_bArmed;
};

// Copies a service name into a 32-byte field, always terminated: a name of 32
// characters or more is cut.
void CopyServiceName(char (&field)[32], const char* service);

class CVeskPoolElement;

// The lives of one pool element as handles see them. The number moves on when
// a life begins and again when it ends, so it is odd exactly while a life
// lasts and no two lives share one. Handles share this block with its
// element, so it outlives the element and its pool.
class CVeskElementLives {
public:
    uint64_t Current() const { return m_Number.load(std::memory_order_acquire); }

private:
    friend class CVeskPoolElement;
    friend class CVeskElementLifeRef;

    // Taken to end a life, and by a handle to test its life and enter the
    // element in one step, so the element cannot end and be freed between.
    std::mutex m_Mutex;
    std::atomic<uint64_t> m_Number{0};
    // Why the latest life ended, or is ending (0: no reason noted). Reset
    // when the next life begins, after the number has moved on, so a handle
    // that reads the number again after the reason knows whose it was.
    std::atomic<int> m_EndReason{0};
};

// Names one life of a pool element: once that life has ended it reaches
// nothing, whoever uses the element next and whether or not its pool still
// exists. Copying one costs an atomic increment, no allocation.
class CVeskElementLifeRef {
public:
    CVeskElementLifeRef() : m_Number(0) {}
    // The element's life under way; taken after that life ended, it names
    // no life at all.
    explicit CVeskElementLifeRef(const CVeskPoolElement* element);

    bool IsCurrent() const { return (m_Number & 1) != 0 && m_Lives->Current() == m_Number; }
    bool operator==(const CVeskElementLifeRef& other) const
    {
        return m_Lives == other.m_Lives && m_Number == other.m_Number;
    }
    // Takes a reference on the element while this life lasts and the element
    // is in use, or with claimed_too also while its opener still sets it up.
    bool Enter(CVeskPoolElement* element, bool claimed_too) const;
    // Why this life ended (0: none noted yet), from the moment the reason is
    // noted until the element's next life begins; 0 afterwards. Touches
    // only the lives block, so it answers after the pool is gone too.
    int EndReason() const;

private:
    std::shared_ptr<CVeskElementLives> m_Lives;
    uint64_t m_Number;
};

// The life of a pool element (session, listener or datagram socket), which
// several threads share without a lock:
//
//   free --TryClaim--> claimed --Publish--> in use --Release--> releasing --> free
//
// An opener claims a free element (a compare-and-swap, so two openers never
// share one), sets it up and publishes it. Threads that work inside an element
// in use (socket reads, parse passes, sends, event handlers) hold a reference
// from TryEnter to Leave. Release marks the element and disarms its events at
// once; its descriptor is closed and its contents cleared only when the last
// reference goes, so no thread ever works on a closed, reused or cleared
// element, and the slot cannot be claimed again before that.
class CVeskPoolElement {
public:
    // Claimed or in use.
    bool IsUsed() const;
    bool IsFree() const;
    // Free, and no thread is still finishing its release: the memory may go.
    bool IsQuiescent() const;
    SOCKET GetSocket() const { return m_Socket.load(std::memory_order_acquire); }

    bool TryClaim();
    // False when the element was released while it was being set up; the
    // opener's claim is given up either way.
    bool Publish();
    bool TryEnter();
    void Leave();
    // Gives up a claim whose setup failed; the element becomes free again.
    void AbandonClaim();
    // Why the life under way ends: the first reason noted wins, so the cause
    // is kept, not its consequences. False when one was noted already.
    bool NoteLifeEndReason(int reason);
    // The reason noted for the life under way (or the latest one), or 0.
    int LifeEndReason() const { return m_Lives->m_EndReason.load(std::memory_order_acquire); }

    // Whether the calling thread holds a reference on some element; such a
    // thread must not wait for elements to become free.
    static bool CallerHoldsReferences();
    // Deletes the element's events: on release, and again by an opener whose
    // arming met a release.
    virtual void DisarmEvents() = 0;

protected:
    friend class CVeskElementLifeRef;

    CVeskPoolElement();
    ~CVeskPoolElement() = default;

    // The SetUsed of every kind of element: true puts a free or claimed
    // element in use, false releases it.
    void StoreUsed(bool used);
    // Releases the element.
    void Release();
    // Gives up the descriptor: events deleted, the number no longer handed
    // out. The descriptor is shut down at once and closed as soon as no other
    // thread can still be inside a call on it.
    void CloseSocket();
    // Sequentially consistent, as IsUsed, so that an opener that adopts and
    // then sees the element still used cannot miss a release's shutdown.
    void AdoptSocket(SOCKET s) { m_Socket.store(s, std::memory_order_seq_cst); }

    // Clears what the element held; runs when nobody is inside any more.
    virtual void ClearContents() = 0;
    // Runs after the element has become free.
    virtual void AfterFreed() {}

private:
    bool TryEnterWhile(bool claimed_too);
    // Moves a claimed or used element to releasing and ends its life; the
    // state it had.
    uint32_t EndLife();
    void DropReference();
    void CloseRetiredSocket();

    std::shared_ptr<CVeskElementLives> m_Lives;
    std::atomic<uint32_t> m_Life;
    // Threads between dropping a reference and their last touch of the
    // element; the one that ends a life counts until it has finished with it.
    std::atomic<int> m_ThreadsLeaving;
    std::atomic<SOCKET> m_Socket;
    std::atomic<SOCKET> m_RetiredSocket;
};

// A reference on an element in use for the length of a scope.
class CVeskElementEntry {
public:
    explicit CVeskElementEntry(CVeskPoolElement* element)
        : m_Element(element != nullptr && element->TryEnter() ? element : nullptr)
    {
    }
    // Only while the named life of the element lasts.
    CVeskElementEntry(CVeskPoolElement* element, const CVeskElementLifeRef& life, bool claimed_too = false)
        : m_Element(life.Enter(element, claimed_too) ? element : nullptr)
    {
    }
    ~CVeskElementEntry()
    {
        if (m_Element != nullptr)
            m_Element->Leave();
    }
    CVeskElementEntry(const CVeskElementEntry&) = delete;
    CVeskElementEntry& operator=(const CVeskElementEntry&) = delete;
    explicit operator bool() const { return m_Element != nullptr; }

private:
    CVeskPoolElement* m_Element;
};

// An RSA key pair held as PKCS #1 DER, with the public exponent beside it.
// Sessions and listeners both carry one.
class CVeskRSAKeyMaterial {
public:
    static constexpr int kRSAKeyCapacity = 65535;

    int SetRSAPrivateKey(const unsigned char* key, int length);
    int GetRSAPrivateKey(unsigned char* buffer, int size) const { return m_RSAPrivateKey.Get(buffer, size); }
    int SetRSAPublicKey(const unsigned char* key, int length) { return m_RSAPublicKey.Set(key, length); }
    int GetRSAPublicKey(unsigned char* buffer, int size) const { return m_RSAPublicKey.Get(buffer, size); }
    unsigned long GetRSAPublicExponent() const { return m_RSAPublicExponent; }
    void SetRSAPublicExponent(unsigned long exponent) { m_RSAPublicExponent = exponent; }

protected:
    CVeskRSAKeyMaterial() : m_RSAPublicExponent(0) {}
    ~CVeskRSAKeyMaterial() = default;
    void CopyRSAKeyMaterialFrom(const CVeskRSAKeyMaterial& other);
    void ClearRSAKeyMaterial();

    // The private key decoded once, shared by a listener and its sessions
    // (read only); decoding DER costs more than the decryption itself.
    const vesk::crypto::RsaKey* DecodedPrivateKey();

    CVeskKeyField<kRSAKeyCapacity> m_RSAPrivateKey;
    CVeskKeyField<kRSAKeyCapacity> m_RSAPublicKey;
    unsigned long m_RSAPublicExponent;
    std::shared_ptr<const vesk::crypto::RsaKey> m_DecodedPrivateKey;
};

// A server key fingerprint required for one host and service text: pinned
// by the application, or read from the known-servers file; an entry of that
// file is not known until its first contact tells the key.
struct CVeskServerKeyPin {
    static constexpr size_t kDigestSize = 32;
    std::string host;
    std::string service;
    bool known = false;
    unsigned char digest[kDigestSize] = {};
};

/// @endcond

/// A TCP session of the transport: socket, rings, handshake and cipher state.
/// Opaque to applications, which reach it only through a CVeskMessageSession
/// handle and see its address in the handler callbacks; its members are the
/// library's own.
class CVeskNetworkSession : public CVeskPoolElement, public CVeskRSAKeyMaterial {
    /// @cond INTERNAL
public:
    typedef std::vector<eCryptoMessageType> CryptoMessages;

    static constexpr int kCryptoKeyCapacity = 32;
    static constexpr int kCryptoIVCapacity = 16;
    // A server key fingerprint: the SHA-256 of its DER public key.
    static constexpr size_t kServerKeyDigestSize = CVeskServerKeyPin::kDigestSize;
    // The socket ring of a session whose peer keeps it full: what one read
    // from the socket takes at most then, many records at a time. Until
    // then it has the default size.
    static constexpr size_t kBusySocketRingSize = 256 * 1024;

    CVeskNetworkSession();
    virtual ~CVeskNetworkSession();
    CVeskNetworkSession(const CVeskNetworkSession&) = delete;
    CVeskNetworkSession& operator=(const CVeskNetworkSession&) = delete;

    // Storing false releases the session: socket closed, events deleted,
    // rings, callback, cipher state and key material cleared.
    void SetUsed(bool bFlag);
    sockaddr* GetSocketAddr(sockaddr_storage* pSocketAddr);
    void close();

    void SetLibEventRead(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEventRead(timeval* tv) { return m_ConnectLibEventRead.Add(tv); }
    int DelLibEventRead() { return m_ConnectLibEventRead.Del(); }
    void SetLibEventWrite(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEventWrite(timeval* tv) { return m_ConnectLibEventWrite.Add(tv); }
    int DelLibEventWrite() { return m_ConnectLibEventWrite.Del(); }

    eCryptoState GetCryptoStateRecv() const { return m_CryptoStateRecv.load(std::memory_order_acquire); }
    eCryptoState GetCryptoStateSend() const { return m_CryptoStateSend.load(std::memory_order_acquire); }

    // The session key and IV are set by the handshake, on the thread that
    // parses the session's records, under the send lock, which senders read
    // them under; the parsing thread reads them without it.
    int SetCryptoKey(const unsigned char* CryptoKey, int CryptoKeyLength)
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        return m_CryptoKey.Set(CryptoKey, CryptoKeyLength);
    }
    int GetCryptoKey(unsigned char* CryptoKey, int CryptoKeyLength) const
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        return m_CryptoKey.Get(CryptoKey, CryptoKeyLength);
    }
    int SetCryptoIV(const unsigned char* CryptoIV, int CryptoIVLength)
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        return m_CryptoIV.Set(CryptoIV, CryptoIVLength);
    }
    int GetCryptoIV(unsigned char* CryptoIV, int CryptoIVLength) const
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        return m_CryptoIV.Get(CryptoIV, CryptoIVLength);
    }

    void attach_ExtensionObject(void* object) { m_ExtensionObject.store(object, std::memory_order_release); }
    void* get_ExtensionObject() { return m_ExtensionObject.load(std::memory_order_acquire); }
    // Counts a refused login of this session: the count so far. Called by
    // the thread that parses the session's messages.
    uint32_t CountRefusedLogin() { return ++m_RefusedLogins; }
    // The user id of the login accepted on this session, a copy of its own
    // (up to 256 characters): set by the thread that parses the session's
    // messages, read from any thread inside the session, forgotten with the
    // session's contents.
    static constexpr size_t kLoggedInUidCapacity = 257;
    void SetLoggedInUid(const char* uid);
    // Copies the id and its NUL into `uid` of `size` characters: false when
    // none is kept or it does not fit.
    bool GetLoggedInUid(char* uid, size_t size) const;
    bool IsLoggedIn() const { return m_bLoggedIn.load(std::memory_order_acquire); }

    // Takes a connection queued on the listener, with the listener's callback
    // and key material. The descriptor, or -1.
    SOCKET accept(CVeskNetworkSessionListen* pVeskNetworkSessionListen);

    // Takes up to num delivered payload bytes; 0 when none, -1 after a failure.
    int recv(unsigned char* buf, int num, int flags);
    // Sends num bytes as one record, encrypted once the sending direction is:
    // the body bytes written, or -1 (nothing written for a refused payload).
    int send(const unsigned char* buf, int num, int flags);

    // Whether the handshake has finished: both directions are encrypted. It
    // counts as finished when its event is raised, so the event's handler
    // can send at once.
    bool IsHandshakeFinished() const { return m_bHandshakeFinished.load(std::memory_order_acquire); }
    // Whether the handshake-finished event's handler has returned.
    bool IsHandshakeReported() const { return m_bHandshakeReported.load(std::memory_order_acquire); }
    // Waits until the handshake-finished event's handler has returned (true)
    // or the session is no longer used (false), woken by either without
    // polling; an application's sender never overtakes the event.
    bool WaitUntilHandshakeReported();
    // Whether the calling thread is one of the threads that carry this
    // session's handshake; such a thread must never wait for it.
    bool IsCalledFromOwnThread() const;
    // Whether the manager's threads run, so that a handshake under way can
    // finish while the caller waits.
    bool CanHandshakeProgress() const;
    // Sends num bytes as one record once the handshake has finished: at once
    // when it has, else on the thread that finishes it, before the event that
    // reports it. One record waits at a time; false when it could not be sent
    // or kept.
    bool SendWhenHandshakeFinished(const unsigned char* buf, int num);
    // Whether this is the server's side of its connection: it was accepted.
    bool IsServerSide() const { return m_Role.load(std::memory_order_acquire) == HandshakeRole::kServer; }
    // Ends the session `ms` milliseconds from now unless cleared before, as
    // if its peer had gone: the loop thread's timer notes `reason` as the
    // session's end reason, shuts the socket down and the read path reports
    // the close. 0 clears it. An accepted session starts with its manager's
    // handshake deadline, cleared when the handshake finishes.
    void SetDeadline(uint32_t ms, int reason);
    // Why the library ends this session (an eVeskSessionEndReason of the
    // message layer): the first reason noted wins; later ones are ignored, so
    // the cause is kept, not its consequences. False when one was noted
    // already. Kept in the lives block, where handles of the session find
    // it after the session has ended.
    bool NoteEndReason(int reason) { return NoteLifeEndReason(reason); }
    // The reason noted, or 0 (none).
    int GetEndReason() const { return LifeEndReason(); }
    void ClearDeadline() { m_DeadlineAt.store(0, std::memory_order_release); }

private:
    friend class CVeskNetworkSessionManager;
    friend struct ::VeskNetworkTestAccess;

    void DisarmEvents() override;
    void ClearContents() override;
    void AfterFreed() override;

    int call_cbfunc_Event(short ev);
    eCryptoAlgorithm GetCryptoAlgorithm() const { return m_CryptoAlgorithm.load(std::memory_order_acquire); }
    void SetCryptoAlgorithm(eCryptoAlgorithm algorithm)
    {
        m_CryptoAlgorithm.store(algorithm, std::memory_order_release);
    }
    void SetCryptoStateRecv(eCryptoState state);
    void SetCryptoStateSend(eCryptoState state);
    // The types of the latest records of the parse pass under way (at most
    // kKeptRecordTypes, oldest first).
    CryptoMessages GetLastRecvCryptoMessages() const;
    void SetOwner(CVeskNetworkSessionManager* manager, event_base* base);
    // The deadline timer: it fires at the earliest deadline set (the one of
    // SetDeadline, or the idle deadline counted from the latest record) and
    // either ends the session or is armed again for the next one.
    void SetDeadlineTimer();
    void ArmDeadlineTimer();
    bool DeadlinePassed() const;
    // Milliseconds until the earliest deadline; -1 when none is set.
    int64_t UntilNextDeadline() const;
    void EndByDeadline();
    // Once the handshake has finished: the session ends after `ms` without a
    // record (0: never).
    void WatchIdle(uint32_t ms);
    // Records arrived: the idle deadline counts from now. One relaxed store.
    void NoteRecordsArrived();
    // The reason of the deadline that has passed: the one SetDeadline set,
    // else the idle deadline's.
    int PassedDeadlineReason() const;
    // Counts the session as opened (accepted or connected): its end is then
    // counted and logged once, when its last reference goes.
    void CountOpened(bool accepted);
    void ReportEnded();
    // Makes the client's handshake refuse every server key but the one whose
    // SHA-256 is these kServerKeyDigestSize bytes, and every session without
    // a cipher; set by the opener before the ClientHello leaves.
    void PinServerKey(const unsigned char* digest);
    // Makes the client's handshake learn the server key of a known-servers
    // entry met for the first time, or require the key it has learned since;
    // set by the opener, as PinServerKey.
    void LearnServerKey(std::shared_ptr<CVeskServerKeyPin> entry);
    // Whether a ServerKeyExchange key may be used: always, unless pinned to
    // another one or another one is known for the endpoint. A first contact
    // writes the known-servers file.
    bool AcceptsServerKey(const unsigned char* key, size_t length);
    // Connects a claimed session to the first of the resolved addresses that
    // accepts; with secure the handshake is started. A release of the
    // session ends the wait for the peer at once. The descriptor, or -1.
    SOCKET ConnectTo(const addrinfo* addresses, bool secure, ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam);
    // Takes over a connected descriptor and the peer's address; false when
    // the session's rings could not be had.
    bool AdoptConnection(SOCKET s, const sockaddr* addr, socklen_t addrlen);
    // Allocates the storage of both rings, before the session is watched.
    bool ReserveRings();

    // Reads what the socket holds into the socket ring: the byte count, 0 at
    // end of stream, kNothingToRead when the socket had nothing after all,
    // another negative value on error.
    static constexpr int kNothingToRead = -2;
    int recv();
    // How a session's share of a parse pass ended: every complete record
    // handled (or waiting for room in the receive ring); the share used up
    // with records or socket bytes left, so the session must be queued
    // again; or a record that failed the session.
    enum class ParseOutcome { kCaughtUp, kShareUsedUp, kFailed };
    // Processes the complete records of the socket ring, at most one ring's
    // worth of them, so that one peer cannot hold the parse thread.
    ParseOutcome parse_recv_socket_buffer();
    // Whether the socket ring now holds more than `looked` did; reads the
    // socket first while the loop thread does not.
    bool ReadMore(const CVeskByteRing::View& looked);
    // Whether a record's payload must wait for room in the receive ring; the
    // reader that makes room queues the session again.
    bool WaitsForRoom(unsigned char type, size_t length);
    // One complete record of the look, its body read where it lies; as
    // parse_recv_socket_buffer_sub.
    int ParseRecord(const CVeskByteRing::View& looked, const tagDataHeader& header, size_t length);
    void NoteRecordType(unsigned char type);
    // One record whose payload has room; its handler's result, 0 when none
    // ran, -1 on failure.
    int parse_recv_socket_buffer_sub(const tagDataHeader& DataHeader, const unsigned char* Body);
    // Whether record bodies arrive as their plaintext: receiving is not
    // encrypted yet, or under no algorithm.
    bool ReceivesInClear() const
    {
        return GetCryptoStateRecv() != CRYPTO_STATE_CRYPTOED || GetCryptoAlgorithm() == CRYPTO_ALGORITHM_NONE;
    }
    // The plaintext of a body: the body itself while it arrives in clear,
    // else deciphered into `decrypted`; empty under an algorithm without a
    // cipher, null when deciphering fails.
    CVeskByteRing::Span DecryptBody(const unsigned char* body, size_t length, unsigned char* decrypted);
    int Plain(const tagDataHeader& DataHeader, const unsigned char* Body, size_t length);
    int Cryptoed(const tagDataHeader& DataHeader, const unsigned char* Body, size_t length);
    int HandShake(const tagDataHeader& DataHeader, const unsigned char* Body, size_t length);
    int ChangeCipherSpec(const tagDataHeader& DataHeader, const unsigned char* Body, size_t length);
    // Appends the payload of `length` bytes in `count` pieces to the receive
    // ring, which has room for it: the length, or -1.
    int DeliverPayload(const CVeskByteRing::Span* pieces, size_t count, size_t length);
    size_t pop_recv_buffer(unsigned char* buffer, size_t size);
    // Stops reading the socket while the socket ring is full; the parse
    // thread resumes it once it has made room.
    void PauseReading();
    void ResumeReading();
    // The peer has closed, or reading failed: records already read are
    // delivered first.
    void MarkEndOfStream(bool failed);
    // After a pass: the event that ends the session (NETWORK_EVENT_CLOSE, or
    // NETWORK_EVENT_READ for a failed read) once nothing more can be
    // delivered; 0 until then, and after it was taken.
    short TakeEndToReport();
    int SendHandShakeClientHello();
    // Notes why the session fails: kept as its failure reason, and shown as
    // its end reason through the one mapping of failure_reason.h. The first
    // reason wins, as for end reasons. Returns -1, the failure of every
    // handler.
    int Fail(vesk::net::FailureReason reason);

    // The side a session plays in its handshake, stored when it is accepted
    // or connected.
    enum class HandshakeRole : uint8_t { kClient, kServer };
    // How far the handshake has come, in the order of the messages; it never
    // goes back. The handshake table (handshake.cpp) decides from it and the
    // role which message a session takes next. Parse thread only.
    enum class HandshakeState : uint8_t { kAwaitHello, kAwaitKeyExchange, kAwaitFinish, kDone };

    // The handshake: one handler per message, each reading only the message
    // body it is given, called only where the handshake table allows it.
    int HandShakeClientHello(vesk::net::ByteReader& message);
    int HandShakeServerHello(vesk::net::ByteReader& message);
    int HandShakeServerKeyExchange(vesk::net::ByteReader& message);
    int HandShakeServerHelloDone(vesk::net::ByteReader& message);
    int HandShakeClientKeyExchange(vesk::net::ByteReader& message);
    int HandShakeFinish(vesk::net::ByteReader& message);
    // The outcome of handing bytes to the socket in order: written; queued
    // in a backlog that was empty, so the loop thread must be asked to write
    // it; queued behind bytes it is asked to write already; failed.
    enum class WriteResult { kWritten, kQueued, kQueuedBehind, kFailed };
    // Writes all parts behind the bytes already waiting, keeping what the
    // socket cannot take in the backlog; called under m_SendMutex. With
    // coalesce the parts go to the backlog even when it is empty, for the
    // loop thread to write with the records that follow them. An application
    // thread waits while the backlog is full; the library's own threads never
    // wait: a peer that stopped reading loses its session.
    WriteResult WriteInOrder(std::unique_lock<std::mutex>& lock, iovec* parts, size_t count, int flags,
                             bool coalesce = false);
    // Whether a record of `length` bytes sent now follows the previous one
    // closely enough to join the loop thread's next write instead of making
    // a system call of its own; called without m_SendMutex.
    bool JoinsBurst(size_t length);
    // Writes what waits in the backlog as far as the socket takes it now;
    // false when the socket failed. Under m_SendMutex.
    bool WriteBacklog(int flags);
    // Before the socket is shut down: what waits in the backlog goes to the
    // socket as far as it takes it now, so records sent just before a close
    // still leave.
    void FlushBacklogBeforeClose();
    bool WaitForBacklogRoom(std::unique_lock<std::mutex>& lock, size_t length);
    void AppendToBacklog(const iovec* parts, size_t count);
    // Asks the loop thread to write the backlog; called without m_SendMutex.
    void ArmBacklogFlush();
    // The loop thread's turn when the socket can take bytes again.
    void FlushSendBacklog();
    void DropSendBacklog();
    void CountBytesSent(ssize_t written);
    // Counts the records of a flight this side built.
    void CountRecordsSent(const unsigned char* records, size_t length);
    // Writes handshake records under the send lock; with switch_sending the
    // sending direction turns encrypted before the lock is let go, so no
    // record decided plain can follow a ChangeCipherSpec.
    int WriteHandShakeFlight(const unsigned char* records, size_t length, bool switch_sending);
    // The Finish message under the session's algorithm, key and IV.
    int BuildFinish(unsigned char* body);
    // Counts the handshake as finished, reports it, then lets waiting
    // senders go.
    void ReportHandshakeFinished();
    // The handshake has finished: the record kept for this moment leaves.
    void SendRecordKeptForHandshake();
    // Forgets a kept record, wiping it: it may hold a password.
    void DropRecordKeptForHandshake();

    sockaddr_storage m_ConnectAddr;
    std::atomic<eSokcetState> m_SokcetState;
    CVeskByteRing m_recv_socket_buffer;
    CVeskByteRing m_recv_buffer;
    CVeskNetworkSessionManager* m_Manager;
    event_base* m_EventBase;
    CVeskEventRecord m_ConnectLibEventRead;
    CVeskEventRecord m_ConnectLibEventWrite;
    ty_cbfunc_Event m_cbfunc_Event;
    void* m_cbfunc_EventParam;
    std::atomic<void*> m_ExtensionObject;
    uint32_t m_RefusedLogins = 0;
    // The id of the accepted login; the flag alone is read on the message
    // path, the text under the mutex.
    mutable std::mutex m_LoggedInUidMutex;
    char m_LoggedInUid[kLoggedInUidCapacity] = {};
    std::atomic<bool> m_bLoggedIn{false};
    std::atomic<eCryptoAlgorithm> m_CryptoAlgorithm;
    std::atomic<eCryptoState> m_CryptoStateRecv;
    std::atomic<eCryptoState> m_CryptoStateSend;
    std::atomic<HandshakeRole> m_Role{HandshakeRole::kClient};
    HandshakeState m_HandshakeState = HandshakeState::kAwaitHello;
    std::atomic<vesk::net::FailureReason> m_FailureReason;
    // The latest record types of the pass, in a small ring, and how many
    // records it has handled: nothing grows with the number of records.
    static constexpr size_t kKeptRecordTypes = 4;
    eCryptoMessageType m_LastRecvTypes[kKeptRecordTypes] = {};
    size_t m_PassRecords = 0;
    CVeskKeyField<kCryptoKeyCapacity> m_CryptoKey;
    CVeskKeyField<kCryptoIVCapacity> m_CryptoIV;
    // Guards the two flow-control flags between the thread that stops and
    // the thread that makes room, so neither misses the other.
    std::mutex m_FlowMutex;
    bool m_bReadPaused;
    bool m_bWaitingForRoom;
    std::atomic<bool> m_bEndOfStream;
    std::atomic<bool> m_bReadFailed;
    std::atomic<bool> m_bHandshakeFinished;
    std::atomic<bool> m_bHandshakeReported;
    // The session waits in its manager's queue for a parse pass.
    std::atomic<bool> m_bReadyToParse;
    // The latest parse pass appended payload to the receive ring.
    bool m_bPassDeliveredPayload;
    bool m_bCloseReported;
    // Counted as accepted or connected, and not yet as ended.
    std::atomic<bool> m_bOpened{false};
    bool m_bServerKeyPinned = false;
    unsigned char m_PinnedServerKey[kServerKeyDigestSize];
    std::shared_ptr<CVeskServerKeyPin> m_KnownServer;
    // Tests only: runs on the parse thread right after a parse step has
    // looked at the socket ring, so that bytes can arrive at exactly that
    // point.
    std::atomic<void (*)(CVeskNetworkSession&)> m_AfterRecvRingLooked{nullptr};
    // Keeps whole records from interleaving when several threads send; guards
    // the send cipher, the backlog, the send failure flag, and the writes of
    // the session key and IV.
    mutable std::mutex m_SendMutex;
    std::unique_ptr<vesk::crypto::RecordCipher> m_SendCipher;
    std::vector<unsigned char> m_SendScratch;
    // Bytes the socket could not take yet, from m_SendBacklogHead on; the
    // loop thread writes them when the socket has room again.
    std::vector<unsigned char> m_SendBacklog;
    size_t m_SendBacklogHead;
    // A write failed, or the backlog overflowed: the stream is broken.
    bool m_bSendFailed;
    // Signalled when the backlog shrinks and when the session goes away.
    std::condition_variable m_SendRoom;
    // When the latest record was handed over (steady clock, nanoseconds): a
    // record that follows closely waits for the loop thread's next write.
    std::atomic<int64_t> m_LastSendAt{0};
    // A record that waits for the end of the handshake, and whether that end
    // has come; guarded by m_SendMutex.
    std::vector<unsigned char> m_RecordKeptForHandshake;
    bool m_bKeptRecordReleased;
    std::unique_ptr<vesk::crypto::RecordCipher> m_RecvCipher;
    // Deadlines as steady-clock milliseconds; 0 when none is set. The mutex
    // orders the armings of the timer, so the last one always saw the
    // latest deadlines; the timer is deleted without it.
    CVeskEventRecord m_DeadlineTimer;
    std::mutex m_DeadlineMutex;
    std::atomic<int64_t> m_DeadlineAt;
    // The end reason of the deadline at m_DeadlineAt.
    std::atomic<int> m_DeadlineReason{0};
    std::atomic<uint32_t> m_IdleDeadlineMs;
    std::atomic<int64_t> m_LastRecordAt;
    /// @endcond
};

/// @cond INTERNAL
class CVeskNetworkSessionListen : public CVeskPoolElement, public CVeskRSAKeyMaterial {
public:
    static constexpr int kServiceCapacity = 32;
    static constexpr SOCKET kKeyGenerationFailed = -2;

    CVeskNetworkSessionListen();
    virtual ~CVeskNetworkSessionListen();
    CVeskNetworkSessionListen(const CVeskNetworkSessionListen&) = delete;
    CVeskNetworkSessionListen& operator=(const CVeskNetworkSessionListen&) = delete;

    // Storing false closes the listener.
    void SetUsed(bool bFlag);
    const char* GetListenService() const { return m_ListenService; }
    // Bounded copy, always terminated: a name of 32 characters or more is cut.
    void SetListenService(const char* service);
    ty_cbfunc_Event Get_cbfunc_Event() const { return m_cbfunc_Event; }
    void* Get_cbfunc_EventParam() const { return m_cbfunc_EventParam; }
    eCryptoAlgorithm GetCryptoAlgorithm() const { return m_CryptoAlgorithm; }

    // Stores the exponent, then generates a fresh pair; the sum of the two DER
    // lengths, or a negative value.
    int GenerateRSAKey(int bits, unsigned long e);
    // Takes the application's pair instead; 0, or -1 when it does not fit.
    int UseServerKey(const vesk::crypto::ServerKeyPair& key);

    void SetLibEvent(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEvent(timeval* tv) { return m_ListenLibEvent.Add(tv); }
    int DelLibEvent() { return m_ListenLibEvent.Del(); }
    // The timer that arms the accept event again after an accept failed for
    // lack of descriptors.
    void SetAcceptRetry(ty_libevent_handler fn, void* arg) { m_AcceptRetryTimer.Set(m_EventBase, -1, 0, fn, arg); }
    int AddAcceptRetry(const timeval* tv) { return m_AcceptRetryTimer.Add(tv); }
    int DelAcceptRetry() { return m_AcceptRetryTimer.Del(); }

    // Accepts one queued connection; -1 (errno set) when there is none.
    SOCKET Accept(sockaddr* addr, socklen_t* addrlen);
    // Opens a non-blocking listening socket for one resolved address and
    // takes `key`, or generates a pair when it is null; the descriptor, -1
    // with errno set when a socket call failed, or kKeyGenerationFailed.
    // `family` is the family the caller listens for: AF_UNSPEC keeps an IPv6
    // socket to IPv6, since an IPv4 socket of the same call takes the port's
    // IPv4 side; an IPv6 socket alone takes IPv4 peers too, as the system's
    // sockets do.
    SOCKET Listen(addrinfo* ai, int family, int backlog, ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam,
                  eCryptoAlgorithm CryptoAlgorithm, const vesk::crypto::ServerKeyPair* key);
    // Closes the socket and empties keys, exponent and algorithm.
    void Close();

private:
    friend class CVeskNetworkSessionManager;
    friend struct ::VeskNetworkTestAccess;

    void DisarmEvents() override;
    void ClearContents() override;
    void SetOwner(CVeskNetworkSessionManager* manager, event_base* base)
    {
        m_Manager = manager;
        m_EventBase = base;
    }

    CVeskNetworkSessionManager* m_Manager;
    event_base* m_EventBase;
    CVeskEventRecord m_ListenLibEvent;
    // The accept event waits for a free session instead of being re-armed.
    std::atomic<bool> m_bAcceptPaused;
    CVeskEventRecord m_AcceptRetryTimer;
    char m_ListenService[kServiceCapacity];
    sockaddr_storage m_ListenAddr;
    ty_cbfunc_Event m_cbfunc_Event;
    void* m_cbfunc_EventParam;
    eCryptoAlgorithm m_CryptoAlgorithm;
};

/// @endcond

/// A datagram socket of the transport, unbound (open_udp) or bound to a local
/// service (open_udp_bind). Opaque to applications, like CVeskNetworkSession.
class CVeskNetworkUDPSession : public CVeskPoolElement {
    /// @cond INTERNAL
public:
    static constexpr int kServiceCapacity = 32;

    CVeskNetworkUDPSession();
    virtual ~CVeskNetworkUDPSession();
    CVeskNetworkUDPSession(const CVeskNetworkUDPSession&) = delete;
    CVeskNetworkUDPSession& operator=(const CVeskNetworkUDPSession&) = delete;

    // Storing false closes the socket.
    void SetUsed(bool bFlag);
    bool IsBind() const { return m_bBind; }
    const char* GetBindService() const { return m_BindService; }
    // Bounded copy, always terminated: a name of 32 characters or more is cut.
    void SetBindService(const char* service);

    void SetLibEventRead(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEventRead(timeval* tv) { return m_LibEventRead.Add(tv); }
    int DelLibEventRead() { return m_LibEventRead.Del(); }
    void SetLibEventWrite(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEventWrite(timeval* tv) { return m_LibEventWrite.Add(tv); }
    int DelLibEventWrite() { return m_LibEventWrite.Del(); }

    // Opens an unbound socket of `family`; the descriptor, or -1.
    SOCKET make_socket(int family, ty_cbfunc_UDPEvent cbfunc_UDPEvent, void* cbfunc_UDPEventParam);
    // Opens a socket bound to one resolved address; the descriptor, or -1.
    // An IPv6 socket takes IPv4 peers too, as the system's sockets do, unless
    // ipv6_only keeps it to IPv6 because an IPv4 socket binds the same port.
    SOCKET make_bind_socket(addrinfo* ai, ty_cbfunc_UDPEvent cbfunc_UDPEvent, void* cbfunc_UDPEventParam,
                            bool ipv6_only = false);

    int recvfrom(void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen);
    // Sends one datagram to the first address of a host and service while the
    // socket's named life lasts: the bytes sent, or -1.
    static int SendTo(CVeskNetworkUDPSession* datagram, const CVeskElementLifeRef& life, const void* buf, size_t len,
                      const char* hostname, const char* service);
    void close();

private:
    friend class CVeskNetworkSessionManager;
    friend struct ::VeskNetworkTestAccess;

    void DisarmEvents() override;
    void ClearContents() override;
    int call_cbfunc_UDPEvent(short ev);
    void SetOwner(CVeskNetworkSessionManager* manager, event_base* base)
    {
        m_Manager = manager;
        m_EventBase = base;
    }

    bool m_bBind;
    eSokcetState m_SokcetState;
    int m_family;
    CVeskNetworkSessionManager* m_Manager;
    event_base* m_EventBase;
    CVeskEventRecord m_LibEventRead;
    CVeskEventRecord m_LibEventWrite;
    char m_BindService[kServiceCapacity];
    ty_cbfunc_UDPEvent m_cbfunc_UDPEvent;
    void* m_cbfunc_UDPEventParam;
    /// @endcond
};

/// @cond INTERNAL
// A fixed array of socket objects allocated once; elements never move while
// the pool holds them. Built for sessions, listeners and datagram sockets
// only (src/transport/pool.cpp, which says how slots are built and freed).
template <class Element>
class CVeskPool {
public:
    CVeskPool() : m_Array(nullptr), m_Size(0), m_Built(0), m_Readers(0) {}
    ~CVeskPool();
    CVeskPool(const CVeskPool&) = delete;
    CVeskPool& operator=(const CVeskPool&) = delete;

    // 1 when created; 0 for a negative count, an allocation failure or a
    // pool that already holds an array. `setup` runs on each element as it
    // is built.
    int Create(int count, std::function<void(Element&)> setup);
    void Release();

    // Calls fn(element) for each built element while the array stays alive.
    template <class Fn>
    void ForEach(Fn fn)
    {
        const Reader reader(*this);
        for (int i = 0; i < reader.built; ++i)
            fn(reader.array[i]);
    }

    // The free element with the lowest index, claimed; or null.
    Element* Claim();
    bool HasFree();
    // The element in use that holds descriptor s; free elements never match.
    Element* Find(SOCKET s);

    // Calls fn(array, size) while the array stays alive; only elements
    // reached through a claim may be touched.
    template <class Fn>
    void WithArray(Fn fn)
    {
        const Reader reader(*this);
        fn(reader.array, reader.size);
    }

    int Size() { return Reader(*this).size; }
    Element* Data() { return Reader(*this).array; }
    // The element at `index`, built (with those before it) if it was not.
    Element& operator[](int index);

private:
    // A look at the array, and a walk over it: while one lasts, Release
    // leaves the array alone.
    struct Reader {
        explicit Reader(CVeskPool& pool);
        ~Reader();
        CVeskPool& owner;
        Element* array;
        int size;
        int built;
    };
    struct Retired {
        Element* array;
        int size;
        int built;
    };

    // Builds the next element of `array` when it is still the pool's and
    // `seen` were built when the caller looked; the number built now (the
    // same as `seen` when the array is full, no longer the pool's, or memory
    // ran out).
    int BuildNext(Element* array, int seen);
    static void ReleaseElements(Element* array, int built);
    // Frees the array once each of its elements has become free.
    static void FreeWhenQuiescent(Element* array, int size, int built);

    std::mutex m_Mutex;
    std::condition_variable m_NoReaders;
    Element* m_Array;
    int m_Size;
    // Elements [0, m_Built) are built; only under m_Mutex, and only while
    // the array is the pool's.
    int m_Built;
    std::function<void(Element&)> m_Setup;
    int m_Readers;
    std::vector<Retired> m_Retired;
};

class CVeskNetworkSessionManager {
public:
    CVeskNetworkSessionManager();
    virtual ~CVeskNetworkSessionManager();
    CVeskNetworkSessionManager(const CVeskNetworkSessionManager&) = delete;
    CVeskNetworkSessionManager& operator=(const CVeskNetworkSessionManager&) = delete;

    // Deletes a manager, also from inside one of its handlers. There the
    // calling thread is still inside the manager's work (a parse pass, an
    // event handler, a Connect) and cannot join itself: every pool is
    // released and the other threads are stopped at once, so no handler runs
    // any more, and this thread deletes the manager once it has left that
    // work (the end of its thread, or of the Connect).
    static void Dispose(CVeskNetworkSessionManager* manager);
    // Whether a handler on the calling thread has disposed of its manager:
    // the layer above the manager is gone too, and the dispatch that called
    // the handler must not touch it any more.
    static bool DisposedOnThisThread();

    int CreateSessions(int session_max);
    int CreateListenSessions(int listen_session_max);
    int CreateUDPSessions(int udp_session_max);
    void ReleaseSessions();
    void ReleaseListenSessions();
    void ReleaseUDPSessions();

    // The event base is made with the manager; 1 when it exists.
    int InitLibEvent();
    // Starts the event loop thread, which runs until the manager is
    // destroyed; 1 also when it already runs.
    int DispatchLibEvent();
    // Starts the parse thread; 1 also when it already runs.
    int CreateParseRecvSocketBufferThread();
    // Both threads run and are not stopping: a handshake under way can
    // finish while an application thread waits for it.
    bool CanHandshakeProgress();
    // Sleeps until a wake-up; a wake-up that came while awake is kept, and
    // one that came while the loop thread parses waits for it to finish.
    void SuspendParseRecvSocketBufferThread();
    void ResumeParseRecvSocketBufferThread();

    // 1 when the service's port is listened on afterwards (also when it
    // already was), 0 when it does not resolve, a listener element was
    // lacking, or no address could be listened on.
    int Listen(const char* service, int family, int backlog, ty_cbfunc_Event cbfunc_Event, void* cbfunc_EventParam,
               eCryptoAlgorithm CryptoAlgorithm);
    void CloseListen(const char* service);

    CVeskNetworkSession* Connect(bool bSecure, const char* hostname, const char* service, ty_cbfunc_Event cbfunc_Event,
                                 void* cbfunc_EventParam);
    CVeskNetworkSession* Connect(const char* hostname, const char* service, ty_cbfunc_Event cbfunc_Event,
                                 void* cbfunc_EventParam);
    CVeskNetworkSession* ConnectSecure(const char* hostname, const char* service, ty_cbfunc_Event cbfunc_Event,
                                       void* cbfunc_EventParam);
    int Close(CVeskNetworkSession* session);

    CVeskNetworkUDPSession* OpenUDPSession(int family, ty_cbfunc_UDPEvent cbfunc_UDPEvent, void* cbfunc_UDPEventParam);
    void CloseUDPSession(CVeskNetworkUDPSession* session);
    // The number of sockets bound for the service (one per resolved address).
    int OpenUDPBindSession(const char* service, int family, ty_cbfunc_UDPEvent cbfunc_UDPEvent,
                           void* cbfunc_UDPEventParam);
    void CloseUDPBindSession(const char* service);

    // Deadlines of the sessions opened from now on, in milliseconds, 0 for
    // none: a handshake a server session must finish in, a TCP connect, and
    // the longest silence of a session whose handshake has finished.
    void SetDeadlines(uint32_t handshake_ms, uint32_t connect_ms, uint32_t idle_ms);

    // Where the manager's log lines go; a null function drops them. The pair
    // is copied under a small lock and called outside it, so a line never
    // runs under a lock of the library's.
    void SetLogFunction(ty_LogFunction function, void* context);
    void Log(int level, const char* text);

    // Room for end reasons in Counters::sessions_ended.
    static constexpr int kEndReasonSlots = 32;
    // What the manager's TCP sessions have done; relaxed counts, each added
    // to once per event, parse pass or write, never per byte.
    struct Counters {
        std::atomic<uint64_t> sessions_accepted{0};
        std::atomic<uint64_t> sessions_connected{0};
        std::atomic<uint64_t> sessions_ended[kEndReasonSlots] = {};
        std::atomic<uint64_t> handshakes_finished{0};
        std::atomic<uint64_t> handshakes_failed{0};
        std::atomic<uint64_t> records_received{0};
        std::atomic<uint64_t> records_sent{0};
        std::atomic<uint64_t> bytes_received{0};
        std::atomic<uint64_t> bytes_sent{0};
    };
    const Counters& GetCounters() const { return m_Counters; }

    // The key pair of the listeners opened from now on; null: each generates
    // a fresh one. False, with nothing changed, for a modulus below 1024 bits
    // or longer than a ClientKeyExchange field carries.
    bool SetServerKey(std::shared_ptr<const vesk::crypto::ServerKeyPair> key);
    // Secure connects to exactly this host and service text accept only the
    // server key with this SHA-256; a null digest removes the pin. False when
    // the pin table is full.
    bool PinServerKey(const char* host, const char* service, const unsigned char* digest);
    // The most endpoints a manager pins, and the most the known-servers file
    // holds.
    static constexpr size_t kMaxServerKeyPins = 1024;
    // Secure connects to an endpoint without a pin learn its server key on
    // first contact, write it to this file (replaced whole, in one step) and
    // require it afterwards; the file's entries are read now. A null path
    // turns this off. 1; 0, with nothing changed, for a file that is not a
    // regular file of well-formed lines, or is too large.
    int SetKnownServersFile(const char* path);

private:
    friend class CVeskNetworkSession;
    friend struct ::VeskNetworkTestAccess;

    // Marks the calling thread as inside a Connect of the manager, whose
    // connect event is raised on it; the outermost one deletes a manager
    // that was disposed of meanwhile, once it ends.
    class ConnectScope {
    public:
        explicit ConnectScope(CVeskNetworkSessionManager* manager);
        ~ConnectScope();
        ConnectScope(const ConnectScope&) = delete;
        ConnectScope& operator=(const ConnectScope&) = delete;

    private:
        CVeskNetworkSessionManager* m_Manager;
        const CVeskNetworkSessionManager* m_Previous;
    };

    static void* DispatchLibEventThreadFunc(LPVOID lpvoid);
    static void* ParseRecvSocketBufferThreadFunc(LPVOID lpvoid);
    // Deletes the manager when a handler on this thread disposed of it.
    static void DeleteIfDisposedHere(CVeskNetworkSessionManager* manager);
    // Copies the digest the endpoint must show: the application's pin, or
    // the key the known-servers file has for it. False when it has none;
    // `known_server` is then the file's entry whose key the connect learns,
    // or null.
    bool FindServerKeyPin(const char* host, const char* service,
                          unsigned char (&digest)[CVeskNetworkSession::kServerKeyDigestSize],
                          std::shared_ptr<CVeskServerKeyPin>* known_server);
    // The known-servers entry of an endpoint, made (not yet known) at its
    // first connect; null without a file, or for an endpoint it cannot hold.
    // Called with m_ServerKeysMutex held.
    std::shared_ptr<CVeskServerKeyPin> KnownServerLocked(const char* host, const char* service);
    // Compares the digest with the entry's key, or learns it and writes the
    // file when the entry is not known yet.
    bool CheckKnownServerKey(CVeskServerKeyPin& entry, const unsigned char* digest);
    int ParseRecvSocketBuffer();
    bool ParseSession(CVeskNetworkSession& session);
    // On the loop thread, after a read: parses the session at once when the
    // parse thread sleeps with nothing queued and the read is the loop's only
    // ready event, so a lone message or handshake flight costs no hand-off.
    // False when it left the session to the parse thread.
    bool ParseOnLoopThread(CVeskNetworkSession& session);
    void StopThreads();

    static void event_accept(int sockfd, short libevent, void* argv);
    static void event_accept_retry(int sockfd, short libevent, void* argv);
    static void event_read(int sockfd, short libevent, void* argv);
    static void event_write(int sockfd, short libevent, void* argv);
    static void event_deadline(int sockfd, short libevent, void* argv);
    static void udp_event_read(int sockfd, short libevent, void* argv);
    static void udp_event_write(int sockfd, short libevent, void* argv);

    CVeskNetworkSession* Accept(CVeskNetworkSessionListen* pVeskNetworkSessionListen);
    // Whether a listener in use is bound to this port.
    bool IsListeningOn(uint16_t port);
    // Logs a failed listen on one address: its errno, 0 for a key pair that
    // could not be generated.
    void LogListenFailure(const sockaddr* address, int error);
    // Opens a session that set_up(session) (false: failed) makes hold a
    // connection, and watches it; null when it was not opened. A handshake
    // deadline given (0: none) runs from before the session is published.
    template <class SetUp>
    CVeskNetworkSession* OpenSession(SetUp set_up, uint32_t handshake_deadline_ms);
    // A session has become free: listeners that wait for one accept again.
    void ResumePausedAccepts();
    // Wakes the threads waiting for a session's handshake or release.
    void NotifySessionStateChanged();
    // Queues a session for the parse thread's next pass and wakes it; a pass
    // visits only queued sessions, so idle ones cost nothing.
    void MarkReadyToParse(CVeskNetworkSession* session);
    bool IsOwnThread() const;

    CVeskNetworkSession* GetVeskNetworkSession(SOCKET s) { return m_SessionArray.Find(s); }
    CVeskNetworkSessionListen* GetVeskNetworkSessionListen(SOCKET s) { return m_SessionListenArray.Find(s); }
    CVeskNetworkUDPSession* GetVeskNetworkUDPSession(SOCKET s) { return m_UDPSessionArray.Find(s); }

    event_base* m_EventBase;
    std::thread m_hLibEventThread;
    std::thread m_ParseRecvSocketBufferThreadHandle;
    std::mutex m_ParseRecvSocketBufferThreadMutex;
    std::condition_variable m_ParseRecvSocketBufferThreadCond;
    bool m_bParseWakeUpPending;
    // Under the parse thread's mutex: the parse thread sleeps and nothing
    // was queued since; the loop thread parses meanwhile. Only one of the two
    // threads parses at a time.
    bool m_bParseThreadIdle = false;
    bool m_bParsingOnLoopThread = false;
    // Whether the loop thread may parse at all; a test turns it off to hold
    // the parse thread inside a step while the loop thread reads.
    std::atomic<bool> m_bLoopThreadMayParse{true};
    std::atomic<bool> m_bStopping;
    std::atomic<unsigned long> m_ParsePasses;
    std::mutex m_ThreadStartMutex;
    std::mutex m_ReadyMutex;
    std::vector<CVeskNetworkSession*> m_ReadySessions;
    // The sessions of the pass under way; used by the parse pass only. It
    // trades places with m_ReadySessions every pass, so both keep their
    // capacity and queueing allocates nothing once they have grown.
    std::vector<CVeskNetworkSession*> m_SessionsBeingParsed;
    std::mutex m_SessionStateMutex;
    std::condition_variable m_SessionStateChanged;
    CVeskPool<CVeskNetworkSession> m_SessionArray;
    CVeskPool<CVeskNetworkSessionListen> m_SessionListenArray;
    CVeskPool<CVeskNetworkUDPSession> m_UDPSessionArray;
    std::atomic<uint32_t> m_HandshakeDeadlineMs;
    std::atomic<uint32_t> m_ConnectDeadlineMs;
    std::atomic<uint32_t> m_IdleDeadlineMs;
    // Set once the manager is being deleted: sessions released from then on
    // end because the system stopped.
    std::atomic<bool> m_bDisposing{false};
    std::mutex m_LogMutex;
    ty_LogFunction m_LogFunction = nullptr;
    void* m_LogContext = nullptr;
    Counters m_Counters;

    // Server keys: the listeners' pair, the clients' pins and the
    // known-servers entries, read when a listener opens and when a connect
    // starts.
    std::mutex m_ServerKeysMutex;
    std::shared_ptr<const vesk::crypto::ServerKeyPair> m_ServerKey;
    std::vector<CVeskServerKeyPin> m_ServerKeyPins;
    std::string m_KnownServersPath;
    std::vector<std::shared_ptr<CVeskServerKeyPin>> m_KnownServers;
};
/// @endcond

}  // namespace VeskNetworkSystem

/// Resolves a host name or dotted address to an IPv4 address; 1 when one was
/// stored in *ipaddr (the last of the host's addresses), 0 otherwise.
/// Any thread; it may block in the resolver.
VESK_API int nslookup(const char* hostname, in_addr* ipaddr);

#endif
