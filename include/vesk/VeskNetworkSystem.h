// Transport layer of libvesk: the TCP session object with its rings and key
// material, the listener and datagram socket objects, and the session manager
// that owns them in fixed pools.
#ifndef VESK_NETWORK_SYSTEM_H
#define VESK_NETWORK_SYSTEM_H

#include <event2/event_struct.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "VeskTypedefNoneWin32.h"

struct VeskNetworkTestAccess;

namespace VeskNetworkSystem {

enum eCryptoAlgorithm : int {
    CRYPTO_ALGORITHM_NONE = 0,
    CRYPTO_ALGORITHM_3DES = 1,
    CRYPTO_ALGORITHM_BLOWFISH = 2,
};

enum eCryptoState : int {
    CRYPTO_STATE_PLAIN = 0,
    CRYPTO_STATE_CRYPTOED = 1,
};

enum eCryptoMessageType : int {
    CRYPTO_MES_TYPE_PLAIN = 0,
    CRYPTO_MES_TYPE_HANDSHAKE = 1,
    CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC = 2,
    CRYPTO_MES_TYPE_CRYPTOED = 3,
};

enum eSokcetState : int {
    SOCKET_STATE_ERROR = -1,
    SOCKET_STATE_CONNECTION_CLOSE = 0,
    SOCKET_STATE_NORMAL = 1,
};

// Session event codes, one bit each.
constexpr short NETWORK_EVENT_ACCEPT = 1;
constexpr short NETWORK_EVENT_CONNECT = 2;
constexpr short NETWORK_EVENT_CLOSE = 4;
constexpr short NETWORK_EVENT_READ = 8;
constexpr short NETWORK_EVENT_WRITE = 16;
constexpr short NETWORK_EVENT_HANDSHAKE_FINISH = 256;

class CVeskNetworkSession;
class CVeskNetworkSessionListen;
class CVeskNetworkUDPSession;
class CVeskNetworkSessionManager;

typedef int (*ty_cbfunc_Event)(CVeskNetworkSession* session, short ev, void* param);
typedef int (*ty_cbfunc_UDPEvent)(CVeskNetworkUDPSession* session, short ev, void* param);
typedef void (*ty_libevent_handler)(int fd, short libevent, void* arg);

// A fixed-capacity byte field that holds key material: only the first
// Length() bytes count. Bytes behind them are never read, so the storage is
// not filled at construction and the pages of an unused pool slot are never
// touched.
template <int Capacity>
class CVeskKeyField {
public:
    CVeskKeyField() : m_length(0) {}

    // Stores `length` bytes (1..Capacity); -1 leaves the field unchanged.
    int Set(const unsigned char* key, int length)
    {
        if (key == nullptr || length < 1 || length > Capacity)
            return -1;
        std::memmove(m_bytes, key, static_cast<size_t>(length));
        // The tail of a longer earlier key is wiped rather than left behind.
        if (m_length > length)
            std::memset(m_bytes + length, 0, static_cast<size_t>(m_length - length));
        m_length = length;
        return length;
    }

    // Copies into a buffer of `capacity` bytes, zero-filled behind the key.
    int Get(unsigned char* buffer, int capacity) const
    {
        if (buffer == nullptr || capacity < 1 || m_length > capacity)
            return -1;
        std::memset(buffer, 0, static_cast<size_t>(capacity));
        std::memcpy(buffer, m_bytes, static_cast<size_t>(m_length));
        return m_length;
    }

    void Clear()
    {
        std::memset(m_bytes, 0, static_cast<size_t>(m_length));
        m_length = 0;
    }

    int Length() const { return m_length; }
    const unsigned char* Data() const { return m_bytes; }

private:
    unsigned char m_bytes[Capacity];
    int m_length;
};

// A ring of raw bytes with one producer thread and one consumer thread. One
// byte always stays empty, so equal points mean empty and the ring holds at
// most kUsable bytes. Only held bytes are ever read, so the storage is not
// filled at construction.
class CVeskByteRing {
public:
    static constexpr size_t kSize = 20000;
    static constexpr size_t kUsable = kSize - 1;

    CVeskByteRing() : m_read_point(0), m_write_point(0) {}

    size_t Held() const
    {
        return Distance(m_read_point.load(std::memory_order_acquire), m_write_point.load(std::memory_order_acquire));
    }
    size_t Free() const { return kUsable - Held(); }

    // Producer: the free space as at most two contiguous spans, for a
    // scatter read straight into the ring; Commit publishes what was filled.
    int WritableSpans(iovec spans[2]);
    void Commit(size_t n);
    // Producer: appends all n bytes, or nothing when they do not fit.
    bool Append(const unsigned char* data, size_t n);

    // Consumer: copies n bytes starting `offset` bytes past the read point
    // without consuming; false when fewer are held.
    bool Peek(unsigned char* out, size_t n, size_t offset = 0) const;
    void Consume(size_t n);
    // Consumer: takes up to n bytes; returns how many.
    size_t Read(unsigned char* out, size_t n);

    // Zeroes the storage and empties the ring. Only while neither side runs.
    void Reset();

    size_t ReadPoint() const { return m_read_point.load(std::memory_order_acquire); }
    size_t WritePoint() const { return m_write_point.load(std::memory_order_acquire); }

private:
    static size_t Distance(size_t from, size_t to) { return to >= from ? to - from : to + kSize - from; }

    unsigned char m_buffer[kSize];
    std::atomic<size_t> m_read_point;
    std::atomic<size_t> m_write_point;
};

// One libevent registration of a socket object and whether it is armed.
class CVeskEventRecord {
public:
    CVeskEventRecord();
    CVeskEventRecord(const CVeskEventRecord&) = delete;
    CVeskEventRecord& operator=(const CVeskEventRecord&) = delete;

    // Prepares the registration on `base`; adds nothing. Ignored while armed.
    void Set(event_base* base, SOCKET fd, short libevent, ty_libevent_handler fn, void* arg);
    // Arms the prepared registration; -1 when it was never prepared.
    int Add(const timeval* tv);
    // Disarms; -1 when it was not armed.
    int Del();
    bool IsArmed() const { return m_bArmed.load(std::memory_order_acquire); }

private:
    event m_event;
    bool m_bPrepared;
    std::atomic<bool> m_bArmed;
};

// A pool element is free or in use by its own flag alone; claiming a free one
// is a compare-and-swap so that openers on different threads never share it.
class CVeskPoolElement {
public:
    bool IsUsed() const { return m_bUsed.load(std::memory_order_acquire); }
    bool TryClaim()
    {
        bool expected = false;
        return m_bUsed.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
    }

protected:
    CVeskPoolElement() : m_bUsed(false) {}
    ~CVeskPoolElement() = default;
    void StoreUsed(bool bFlag) { m_bUsed.store(bFlag, std::memory_order_release); }

private:
    std::atomic<bool> m_bUsed;
};

// An RSA key pair held as PKCS #1 DER, with the public exponent beside it.
// Sessions and listeners both carry one.
class CVeskRSAKeyMaterial {
public:
    static constexpr int kRSAKeyCapacity = 65535;

    int SetRSAPrivateKey(const unsigned char* key, int length) { return m_RSAPrivateKey.Set(key, length); }
    int GetRSAPrivateKey(unsigned char* buffer, int size) const { return m_RSAPrivateKey.Get(buffer, size); }
    int SetRSAPublicKey(const unsigned char* key, int length) { return m_RSAPublicKey.Set(key, length); }
    int GetRSAPublicKey(unsigned char* buffer, int size) const { return m_RSAPublicKey.Get(buffer, size); }
    unsigned long GetRSAPublicExponent() const { return m_RSAPublicExponent; }
    void SetRSAPublicExponent(unsigned long exponent) { m_RSAPublicExponent = exponent; }

protected:
    CVeskRSAKeyMaterial() : m_RSAPublicExponent(0) {}
    ~CVeskRSAKeyMaterial() = default;
    void ClearRSAKeyMaterial()
    {
        m_RSAPrivateKey.Clear();
        m_RSAPublicKey.Clear();
        m_RSAPublicExponent = 0;
    }

    CVeskKeyField<kRSAKeyCapacity> m_RSAPrivateKey;
    CVeskKeyField<kRSAKeyCapacity> m_RSAPublicKey;
    unsigned long m_RSAPublicExponent;
};

class CVeskNetworkSession : public CVeskPoolElement, public CVeskRSAKeyMaterial {
public:
    typedef std::vector<eCryptoMessageType> CryptoMessages;

    static constexpr int kCryptoKeyCapacity = 32;
    static constexpr int kCryptoIVCapacity = 16;

    CVeskNetworkSession();
    virtual ~CVeskNetworkSession();
    CVeskNetworkSession(const CVeskNetworkSession&) = delete;
    CVeskNetworkSession& operator=(const CVeskNetworkSession&) = delete;

    // Storing false releases the session: socket closed, events deleted,
    // rings, callback, cipher state and key material cleared.
    void SetUsed(bool bFlag);
    SOCKET GetSocket() { return m_ConnectSocket.load(std::memory_order_acquire); }
    SOCKET GetSocket() const { return m_ConnectSocket.load(std::memory_order_acquire); }
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

    int SetCryptoKey(const unsigned char* CryptoKey, int CryptoKeyLength)
    {
        return m_CryptoKey.Set(CryptoKey, CryptoKeyLength);
    }
    int GetCryptoKey(unsigned char* CryptoKey, int CryptoKeyLength) const
    {
        return m_CryptoKey.Get(CryptoKey, CryptoKeyLength);
    }
    int SetCryptoIV(const unsigned char* CryptoIV, int CryptoIVLength)
    {
        return m_CryptoIV.Set(CryptoIV, CryptoIVLength);
    }
    int GetCryptoIV(unsigned char* CryptoIV, int CryptoIVLength) const
    {
        return m_CryptoIV.Get(CryptoIV, CryptoIVLength);
    }

    void attach_ExtensionObject(void* object) { m_ExtensionObject.store(object, std::memory_order_release); }
    void detach_ExtensionObject() { m_ExtensionObject.store(nullptr, std::memory_order_release); }
    void* get_ExtensionObject() { return m_ExtensionObject.load(std::memory_order_acquire); }
    const void* get_ExtensionObject() const { return m_ExtensionObject.load(std::memory_order_acquire); }

private:
    friend class CVeskNetworkSessionManager;
    friend struct ::VeskNetworkTestAccess;

    int call_cbfunc_Event(short ev);
    eCryptoAlgorithm GetCryptoAlgorithm() const { return m_CryptoAlgorithm; }
    void SetCryptoAlgorithm(eCryptoAlgorithm algorithm) { m_CryptoAlgorithm = algorithm; }
    void SetCryptoStateRecv(eCryptoState state) { m_CryptoStateRecv.store(state, std::memory_order_release); }
    void SetCryptoStateSend(eCryptoState state) { m_CryptoStateSend.store(state, std::memory_order_release); }
    CryptoMessages GetLastRecvCryptoMessages() const { return m_LastRecvCryptoMessages; }
    // Takes over a connected descriptor and the peer's address.
    void AdoptSocket(SOCKET s, const sockaddr* addr, socklen_t addrlen);
    void SetEventBase(event_base* base) { m_EventBase = base; }

    sockaddr_storage m_ConnectAddr;
    std::atomic<SOCKET> m_ConnectSocket;
    eSokcetState m_SokcetState;
    CVeskByteRing m_recv_socket_buffer;
    CVeskByteRing m_recv_buffer;
    event_base* m_EventBase;
    CVeskEventRecord m_ConnectLibEventRead;
    CVeskEventRecord m_ConnectLibEventWrite;
    ty_cbfunc_Event m_cbfunc_Event;
    void* m_cbfunc_EventParam;
    std::atomic<void*> m_ExtensionObject;
    eCryptoAlgorithm m_CryptoAlgorithm;
    std::atomic<eCryptoState> m_CryptoStateRecv;
    std::atomic<eCryptoState> m_CryptoStateSend;
    CryptoMessages m_LastRecvCryptoMessages;
    CVeskKeyField<kCryptoKeyCapacity> m_CryptoKey;
    CVeskKeyField<kCryptoIVCapacity> m_CryptoIV;
};

class CVeskNetworkSessionListen : public CVeskPoolElement, public CVeskRSAKeyMaterial {
public:
    static constexpr int kServiceCapacity = 32;

    CVeskNetworkSessionListen();
    virtual ~CVeskNetworkSessionListen();
    CVeskNetworkSessionListen(const CVeskNetworkSessionListen&) = delete;
    CVeskNetworkSessionListen& operator=(const CVeskNetworkSessionListen&) = delete;

    // Storing false closes the listener.
    void SetUsed(bool bFlag);
    const char* GetListenService() const { return m_ListenService; }
    // Bounded copy of at most 32 bytes, zero-padded.
    void SetListenService(const char* service);
    ty_cbfunc_Event Get_cbfunc_Event() { return m_cbfunc_Event; }
    ty_cbfunc_Event Get_cbfunc_Event() const { return m_cbfunc_Event; }
    void* Get_cbfunc_EventParam() { return m_cbfunc_EventParam; }
    const void* Get_cbfunc_EventParam() const { return m_cbfunc_EventParam; }
    SOCKET GetSocket() { return m_ListenSocket.load(std::memory_order_acquire); }
    SOCKET GetSocket() const { return m_ListenSocket.load(std::memory_order_acquire); }
    eCryptoAlgorithm GetCryptoAlgorithm() const { return m_CryptoAlgorithm; }

    // Stores the exponent, then generates a fresh pair; the sum of the two DER
    // lengths, or a negative value.
    int GenerateRSAKey(int bits, unsigned long e);

    void SetLibEvent(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEvent(timeval* tv) { return m_ListenLibEvent.Add(tv); }
    int DelLibEvent() { return m_ListenLibEvent.Del(); }

    // Closes the socket and empties keys, exponent, algorithm and callback.
    void Close();

private:
    friend class CVeskNetworkSessionManager;
    friend struct ::VeskNetworkTestAccess;

    void SetEventBase(event_base* base) { m_EventBase = base; }

    std::atomic<SOCKET> m_ListenSocket;
    event_base* m_EventBase;
    CVeskEventRecord m_ListenLibEvent;
    char m_ListenService[kServiceCapacity];
    sockaddr_storage m_ListenAddr;
    ty_cbfunc_Event m_cbfunc_Event;
    void* m_cbfunc_EventParam;
    eCryptoAlgorithm m_CryptoAlgorithm;
};

class CVeskNetworkUDPSession : public CVeskPoolElement {
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
    // Bounded copy of at most 32 bytes, zero-padded.
    void SetBindService(const char* service);
    SOCKET GetSocket() { return m_Socket.load(std::memory_order_acquire); }
    SOCKET GetSocket() const { return m_Socket.load(std::memory_order_acquire); }

    void SetLibEventRead(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEventRead(timeval* tv) { return m_LibEventRead.Add(tv); }
    int DelLibEventRead() { return m_LibEventRead.Del(); }
    void SetLibEventWrite(short libevent, ty_libevent_handler fn, void* arg);
    int AddLibEventWrite(timeval* tv) { return m_LibEventWrite.Add(tv); }
    int DelLibEventWrite() { return m_LibEventWrite.Del(); }

    int recvfrom(void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen);
    int sendto(const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen);
    void close();

private:
    friend class CVeskNetworkSessionManager;
    friend struct ::VeskNetworkTestAccess;

    int call_cbfunc_UDPEvent(short ev);
    void SetEventBase(event_base* base) { m_EventBase = base; }

    bool m_bBind;
    std::atomic<SOCKET> m_Socket;
    eSokcetState m_SokcetState;
    int m_family;
    event_base* m_EventBase;
    CVeskEventRecord m_LibEventRead;
    CVeskEventRecord m_LibEventWrite;
    char m_BindService[kServiceCapacity];
    ty_cbfunc_UDPEvent m_cbfunc_UDPEvent;
    void* m_cbfunc_UDPEventParam;
    void* m_ExtensionObject;
};

// A fixed array of socket objects allocated once. Elements never move while
// the pool holds them; a negative count or a second creation is refused.
template <class Element>
class CVeskPool {
public:
    CVeskPool() : m_array(nullptr), m_size(0) {}
    ~CVeskPool() { Release(); }
    CVeskPool(const CVeskPool&) = delete;
    CVeskPool& operator=(const CVeskPool&) = delete;

    int Create(int count)
    {
        if (count < 0 || m_array != nullptr)
            return 0;
        try {
            m_array = new Element[static_cast<size_t>(count)];
        } catch (const std::bad_alloc&) {
            m_array = nullptr;
            m_size = 0;
            return 0;
        }
        m_size = count;
        return 1;
    }

    void Release()
    {
        if (m_array == nullptr)
            return;
        delete[] m_array;
        m_array = nullptr;
        m_size = 0;
    }

    // The free element with the lowest index, claimed atomically; or null.
    Element* Claim()
    {
        for (int i = 0; i < m_size; ++i)
            if (m_array[i].TryClaim())
                return &m_array[i];
        return nullptr;
    }

    // The element in use that holds descriptor s; free elements never match.
    Element* Find(SOCKET s)
    {
        for (int i = 0; i < m_size; ++i)
            if (m_array[i].IsUsed() && m_array[i].GetSocket() == s)
                return &m_array[i];
        return nullptr;
    }

    int Size() const { return m_size; }
    Element* Data() { return m_array; }
    Element& operator[](int index) { return m_array[index]; }

private:
    Element* m_array;
    int m_size;
};

class CVeskNetworkSessionManager {
public:
    CVeskNetworkSessionManager();
    virtual ~CVeskNetworkSessionManager();
    CVeskNetworkSessionManager(const CVeskNetworkSessionManager&) = delete;
    CVeskNetworkSessionManager& operator=(const CVeskNetworkSessionManager&) = delete;

    int CreateSessions(int session_max);
    int CreateListenSessions(int listen_session_max);
    int CreateUDPSessions(int udp_session_max);
    void ReleaseSessions();
    void ReleaseListenSessions();
    void ReleaseUDPSessions();

private:
    friend struct ::VeskNetworkTestAccess;

    CVeskNetworkSession* GetVeskNetworkSession(SOCKET s) { return m_SessionArray.Find(s); }
    CVeskNetworkSessionListen* GetVeskNetworkSessionListen(SOCKET s) { return m_SessionListenArray.Find(s); }
    CVeskNetworkUDPSession* GetVeskNetworkUDPSession(SOCKET s) { return m_UDPSessionArray.Find(s); }

    CVeskPool<CVeskNetworkSession> m_SessionArray;
    CVeskPool<CVeskNetworkSessionListen> m_SessionListenArray;
    CVeskPool<CVeskNetworkUDPSession> m_UDPSessionArray;
};

}  // namespace VeskNetworkSystem

#endif
