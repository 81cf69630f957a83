// What the fuzz targets and the seed generator share: a session of a real
// manager pool fed through a socketpair exactly as the event loop and the
// parse thread would feed it, the fixed server key pair and session key, what
// the handlers check and read, and the input format.
#ifndef VESK_FUZZ_SUPPORT_H
#define VESK_FUZZ_SUPPORT_H

#include <event2/event.h>
#include <fcntl.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numeric>

#include "raw_peer.h"

using namespace VeskNetworkSystem;
using namespace VeskMessageSystem;

namespace vesk_fuzz {

using namespace vesk_test;

// A finding of a harness check: abort so that libFuzzer keeps the input.
#define VESK_FUZZ_CHECK(condition)                                                             \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

// The symmetric key and IV that sessions of the harness are given where
// a peer's choice would otherwise be random; 24 bytes serve Triple-DES, the
// first 16 Blowfish.
inline const Bytes kSessionKey = {0x4b, 0x21, 0x9c, 0x07, 0xe3, 0x58, 0x11, 0xa6, 0x3d, 0xf0, 0x72, 0x8e,
                                  0x05, 0xb9, 0x64, 0x2a, 0xd7, 0x1f, 0x80, 0x3c, 0x96, 0x4e, 0xc5, 0x19};
inline const Bytes kSessionIV = {0x9a, 0x33, 0x0e, 0x71, 0xc4, 0x28, 0xbd, 0x56};

// A body under the fixed key, as the cipher functions write it.
inline Bytes EncryptFixed(eCryptoAlgorithm algorithm, const Bytes& plain)
{
    return Encrypt(algorithm, Bytes(kSessionKey.begin(), kSessionKey.begin() + KeyLength(algorithm)), kSessionIV,
                   plain);
}

// A data record under the fixed key, as either end's send path writes it.
inline Bytes FixedKeyData(eCryptoAlgorithm algorithm, const Bytes& payload)
{
    return Record(algorithm == CRYPTO_ALGORITHM_NONE ? 0 : 3, EncryptFixed(algorithm, payload));
}

// The header at the start of a message.
inline tagMessageHeader Header(const void* data)
{
    tagMessageHeader header{};
    std::memcpy(&header, data, sizeof header);
    return header;
}

// Touches every byte a handler was given, so that a range that reaches
// beyond the read is seen by the address sanitizer; the sum goes to g_sink.
inline unsigned Touch(const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::accumulate(bytes, bytes + size, 0u);
}

inline volatile unsigned g_sink;

// The length of the datagram being dispatched; a handler may not be given more.
inline size_t g_datagram_length = SIZE_MAX;

// The handler of messages of one type and size: it is given that size, within
// the datagram, and over TCP (`kWhole`) a message that claims that size.
template <uint32_t Type, uint16_t Size, bool kWhole>
int OnTyped(CVeskMessageSession* /*session*/, const char* /*host*/, const char* /*service*/, const void* data,
            size_t size)
{
    VESK_FUZZ_CHECK(size == Size && Size <= g_datagram_length && Header(data).m_type == Type);
    VESK_FUZZ_CHECK(!kWhole || Header(data).m_size == Size);
    g_sink = Touch(data, size);
    return 1;
}

template <uint32_t Type, uint16_t Size, bool kWhole>
tagExtensionCallFunction Typed()
{
    return {Type, Size, OnTyped<Type, Size, kWhole>};
}

// Whether the TCP echo may answer: only a session whose handshake has
// finished can send without waiting for it.
inline bool g_can_answer = false;

// Answers with the message it was given: as a datagram to the address texts
// it was given (a datagram's handler is given no more than the datagram), or
// over TCP once the session may send.
inline int OnEcho(CVeskMessageSession* session, const char* host, const char* service, const void* data, size_t size)
{
    VESK_FUZZ_CHECK(size <= g_datagram_length);
    if (session->is_udp_session_used())
        session->sendto_udp_message(data, size, host, service);
    else if (g_can_answer)
        session->send_message(data, size);
    return 1;
}

// The session-event handler of the message targets: the event the library
// builds, and the address texts it was given, are read whole.
inline int OnSessionEvent(CVeskMessageSession* /*session*/, const char* host, const char* service, const void* data,
                          size_t size)
{
    VESK_FUZZ_CHECK(size == sizeof(tagMessageDataSesssionEvent));
    VESK_FUZZ_CHECK(Header(data).m_type == VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT);
    g_sink = Touch(data, size) + Touch(host, std::strlen(host)) + Touch(service, std::strlen(service));
    return 1;
}

// The event handler of the stream targets; `take` points to the most a data
// event takes out, or is null in the handshake targets, which take all the
// ring holds. It reads as the message layer does: a read of nothing or a
// close ends the session. The handshake's own event only has to arrive after
// the session sent its Finish.
inline int OnStreamEvent(CVeskNetworkSession* session, short ev, void* take)
{
    const int most = take != nullptr ? *static_cast<int*>(take) : static_cast<int>(CVeskByteRing::kSize);
    if (take == nullptr && (ev & NETWORK_EVENT_HANDSHAKE_FINISH) != 0)
        VESK_FUZZ_CHECK(session->GetCryptoStateSend() == CRYPTO_STATE_CRYPTOED &&
                        session->GetCryptoStateRecv() == CRYPTO_STATE_CRYPTOED);
    if ((ev & NETWORK_EVENT_READ) != 0) {
        unsigned char payload[CVeskByteRing::kSize];
        const int n = session->recv(payload, most, 0);
        VESK_FUZZ_CHECK(n <= most);
        if (n <= 0)
            session->SetUsed(false);
    }
    if ((ev & NETWORK_EVENT_CLOSE) != 0)
        session->SetUsed(false);
    return 1;
}

// A key file of fuzz/keys: the fixed server key pair (PKCS #1 DER) that the
// seed corpora were made with, so that a recorded ClientKeyExchange decrypts.
inline Bytes KeyFile(const char* name)
{
    std::ifstream file(std::string(VESK_FUZZ_KEY_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Input format of the stream targets: chunks, each a 16-bit little-endian
// length and that many bytes; a last chunk may be cut short. Every chunk
// arrives as one write of the peer, so records split across reads and
// several records in one read both occur.
inline std::vector<Bytes> Chunks(const uint8_t* data, size_t size)
{
    std::vector<Bytes> chunks;
    for (size_t at = 0; size - at >= 2;) {
        const size_t length = std::min(static_cast<size_t>(data[at] | data[at + 1] << 8), size - at - 2);
        chunks.emplace_back(data + at + 2, data + at + 2 + length);
        at += 2 + length;
    }
    return chunks;
}

}  // namespace vesk_fuzz

// The seam into the library's internals: the harness's pieces that need them.
struct VeskNetworkTestAccess {
    // A session of a manager's pool connected to a socketpair whose other
    // end the harness writes, and reads to discard what the library wrote.
    // The manager's threads never run: the harness plays the event loop (a
    // read or a backlog write when the socket is ready and that event armed)
    // and the parse thread (a pass while a session is queued), one step at a
    // time, so that every input is handled the same way.
    class StreamSession {
    public:
        explicit StreamSession(CVeskNetworkSessionManager& manager) : m_manager(manager) {}
        StreamSession(const StreamSession&) = delete;
        StreamSession& operator=(const StreamSession&) = delete;
        // Releases the session and lets a pass see the release, so that the
        // next input starts from a free pool.
        ~StreamSession()
        {
            if (m_session != nullptr && m_session->IsUsed())
                m_session->SetUsed(false);
            while (m_manager.ParseRecvSocketBuffer() > 0) {
            }
            if (m_peer >= 0)
                ::close(m_peer);
        }

        // Takes the pool's session, connects it and arms its read event; the
        // setup runs between claim and publish, as an accept does. Null when
        // the session could not be published.
        template <class Setup>
        CVeskNetworkSession* Open(ty_cbfunc_Event callback, void* param, Setup setup)
        {
            int fds[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
                return nullptr;
            CVeskNetworkSession* session = m_manager.m_SessionArray.Claim();
            VESK_FUZZ_CHECK(session != nullptr);
            const sockaddr_in peer = vesk_test::Loopback(40000);
            session->AdoptConnection(fds[0], reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
            session->m_cbfunc_Event = callback;
            session->m_cbfunc_EventParam = param;
            setup(*session);
            m_peer = fds[1];
            fcntl(m_peer, F_SETFL, fcntl(m_peer, F_GETFL) | O_NONBLOCK);
            // Armed by the library only while bytes wait in the backlog.
            session->SetLibEventWrite(EV_WRITE | EV_PERSIST, CVeskNetworkSessionManager::event_write, session);
            if (!session->Publish())
                return nullptr;
            session->SetLibEventRead(EV_READ | EV_PERSIST, CVeskNetworkSessionManager::event_read, session);
            if (session->AddLibEventRead(nullptr) != 0) {
                session->SetUsed(false);
                return nullptr;
            }
            return m_session = session;
        }

        // The peer writes one chunk; the session takes in what it can.
        // Without a session nothing is taken in.
        void Deliver(const vesk_test::Bytes& bytes)
        {
            size_t written = 0;
            while (written < bytes.size()) {
                const ssize_t n = ::send(m_peer, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
                if (n > 0)
                    written += static_cast<size_t>(n);
                else if (!Step())  // the session's socket is full or gone: let it take some in
                    break;
            }
            while (Step()) {
            }
        }

        // The peer closes its sending direction.
        void EndOfStream()
        {
            ::shutdown(m_peer, SHUT_WR);
            while (Step()) {
            }
        }

    private:
        // One pass, read or backlog write, after the peer has read what was
        // written; false when there was nothing to do. Bounded, so that a
        // session that keeps asking for passes cannot hang the harness.
        bool Step()
        {
            unsigned char discarded[65536];
            while (::recv(m_peer, discarded, sizeof discarded, MSG_DONTWAIT) > 0) {
            }
            if (m_session == nullptr || ++m_steps > kMaxSteps)
                return false;
            if (m_session->m_bReadyToParse.load()) {
                m_manager.ParseRecvSocketBuffer();
                return true;
            }
            pollfd ready{m_session->GetSocket(), POLLIN | POLLOUT, 0};
            if (!m_session->IsUsed() || ready.fd < 0 || poll(&ready, 1, 0) <= 0)
                return false;
            if ((ready.revents & POLLIN) != 0 && m_session->m_ConnectLibEventRead.IsArmed()) {
                CVeskNetworkSessionManager::event_read(ready.fd, EV_READ, m_session);
                return true;
            }
            if ((ready.revents & POLLOUT) != 0 && m_session->m_ConnectLibEventWrite.IsArmed()) {
                CVeskNetworkSessionManager::event_write(ready.fd, EV_WRITE, m_session);
                return true;
            }
            return false;
        }

        static constexpr int kMaxSteps = 100000;

        CVeskNetworkSessionManager& m_manager;
        CVeskNetworkSession* m_session = nullptr;
        int m_peer = -1;
        int m_steps = 0;
    };

    // The pool of the stream targets: one session, which every input reuses.
    static CVeskNetworkSessionManager& OneSessionPool()
    {
        static auto* manager = new CVeskNetworkSessionManager;
        static const bool created = manager->CreateSessions(1) == 1;
        VESK_FUZZ_CHECK(created);
        return *manager;
    }

    // The algorithm and the fixed key, and the directions already encrypted.
    static void UseFixedKey(CVeskNetworkSession& session, eCryptoAlgorithm algorithm, bool receive_encrypted,
                            bool send_encrypted)
    {
        session.SetCryptoAlgorithm(algorithm);
        if (vesk_test::KeyLength(algorithm) > 0) {
            session.SetCryptoKey(vesk_fuzz::kSessionKey.data(), vesk_test::KeyLength(algorithm));
            session.SetCryptoIV(vesk_fuzz::kSessionIV.data(), static_cast<int>(vesk_fuzz::kSessionIV.size()));
        }
        if (receive_encrypted)
            session.SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
        if (send_encrypted)
            session.SetCryptoStateSend(CRYPTO_STATE_CRYPTOED);
    }

    // What accept gives a session: the listener's fixed key pair, decoded
    // once, and the server's role.
    static void AcceptWithFixedKeyPair(CVeskNetworkSession& session, eCryptoAlgorithm algorithm)
    {
        static CVeskNetworkSessionListen* holder = [] {
            auto* listener = new CVeskNetworkSessionListen;
            const vesk_test::Bytes private_key = vesk_fuzz::KeyFile("server_private.der");
            const vesk_test::Bytes public_key = vesk_fuzz::KeyFile("server_public.der");
            VESK_FUZZ_CHECK(!private_key.empty() && !public_key.empty());
            listener->SetRSAPrivateKey(private_key.data(), static_cast<int>(private_key.size()));
            listener->SetRSAPublicKey(public_key.data(), static_cast<int>(public_key.size()));
            listener->SetRSAPublicExponent(65537);
            VESK_FUZZ_CHECK(listener->DecodedPrivateKey() != nullptr);
            return listener;
        }();
        session.CopyRSAKeyMaterialFrom(*holder);
        session.m_Role = CVeskNetworkSession::HandshakeRole::kServer;
        session.SetCryptoAlgorithm(algorithm);
    }

    static int SendClientHello(CVeskNetworkSession& session) { return session.SendHandShakeClientHello(); }
    // The fixed key replaces the one the session chose for its algorithm.
    static void PinFixedKey(CVeskNetworkSession& session)
    {
        UseFixedKey(session, session.GetCryptoAlgorithm(), false, false);
    }
    static void ReportHandshakeFinished(CVeskNetworkSession& session) { session.ReportHandshakeFinished(); }

    static CVeskNetworkSessionManager& Manager(CVeskMessageSystem& system) { return *system.m_nsm; }
    static ty_cbfunc_Event MessageCallback() { return &CVeskMessageSystem::cbfunc_Recv; }
    static CVeskMessageUserManager& AuthUsers(CVeskMessageSystem& system) { return system.m_mum_auth; }
    static const auto& Users(const CVeskMessageUserManager& users) { return users.m_VeskMessageUserArray; }

    // A datagram socket of the system bound to a loopback port, its read
    // event armed; null when none is free or the bind failed.
    static CVeskNetworkUDPSession* OpenDatagram(CVeskMessageSystem& system, sockaddr_in* address)
    {
        CVeskNetworkUDPSession* datagram = system.m_nsm->m_UDPSessionArray.Claim();
        if (datagram == nullptr)
            return nullptr;
        *address = vesk_test::Loopback(0);
        addrinfo ai{};
        ai.ai_family = AF_INET;
        ai.ai_socktype = SOCK_DGRAM;
        ai.ai_addr = reinterpret_cast<sockaddr*>(address);
        ai.ai_addrlen = sizeof *address;
        if (datagram->make_bind_socket(&ai, &CVeskMessageSystem::cbfunc_udp_Recv, &system) < 0) {
            datagram->AbandonClaim();
            return nullptr;
        }
        if (!datagram->Publish())
            return nullptr;
        datagram->SetLibEventRead(EV_READ, &CVeskNetworkSessionManager::udp_event_read, datagram);
        datagram->AddLibEventRead(nullptr);
        socklen_t length = sizeof *address;
        getsockname(datagram->GetSocket(), reinterpret_cast<sockaddr*>(address), &length);
        return datagram;
    }
    // One wake-up of the event loop for a readable datagram socket.
    static void DatagramRead(CVeskNetworkUDPSession& datagram)
    {
        CVeskNetworkSessionManager::udp_event_read(datagram.GetSocket(), EV_READ, &datagram);
    }
};

namespace vesk_fuzz {
using Access = VeskNetworkTestAccess;
using StreamSession = Access::StreamSession;
}  // namespace vesk_fuzz

#endif
