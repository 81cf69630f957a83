// The TCP session object: key material accessors, release, close and its
// event registrations.
#include <event2/event.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "VeskNetworkSystem.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static void Adopt(CVeskNetworkSession& session, SOCKET s)
    {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(4242);
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        session.AdoptConnection(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
    static void SetBase(CVeskNetworkSession& session, event_base* base) { session.SetOwner(nullptr, base); }
    static void SetCallback(CVeskNetworkSession& session, ty_cbfunc_Event cb, void* param)
    {
        session.m_cbfunc_Event = cb;
        session.m_cbfunc_EventParam = param;
    }
    static int Call(CVeskNetworkSession& session, short ev) { return session.call_cbfunc_Event(ev); }
    static void Encrypt(CVeskNetworkSession& session)
    {
        session.SetCryptoAlgorithm(CRYPTO_ALGORITHM_BLOWFISH);
        session.SetCryptoStateRecv(CRYPTO_STATE_CRYPTOED);
        session.SetCryptoStateSend(CRYPTO_STATE_CRYPTOED);
    }
    static eCryptoAlgorithm Algorithm(const CVeskNetworkSession& session) { return session.GetCryptoAlgorithm(); }
    static CVeskByteRing& SocketRing(CVeskNetworkSession& session) { return session.m_recv_socket_buffer; }
    static CVeskByteRing& ReceiveRing(CVeskNetworkSession& session) { return session.m_recv_buffer; }
};

namespace {

using Access = VeskNetworkTestAccess;

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

class NetworkSessionTest : public ::testing::Test {
protected:
    // Hands one end of a fresh socket pair to the session; the other end is
    // the peer's.
    void Adopt()
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Access::Adopt(*session, pair[0]);
    }
    void TearDown() override
    {
        if (pair[1] >= 0)
            ::close(pair[1]);
    }

    std::unique_ptr<CVeskNetworkSession> session = std::make_unique<CVeskNetworkSession>();
    int pair[2] = {-1, -1};
};

// Every key field takes 1..capacity bytes, hands them out zero-filled to a
// buffer that can hold them, and leaves itself and the caller's buffer alone
// when it refuses.
TEST_F(NetworkSessionTest, KeyFieldsFollowTheirRangeRules)
{
    using Session = CVeskNetworkSession;
    struct Field {
        const char* name;
        int capacity;
        int (*set)(Session&, const unsigned char*, int);
        int (*get)(const Session&, unsigned char*, int);
    };
    const Field fields[] = {
        {"key", 32, [](Session& s, const unsigned char* k, int n) { return s.SetCryptoKey(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetCryptoKey(b, n); }},
        {"iv", 16, [](Session& s, const unsigned char* k, int n) { return s.SetCryptoIV(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetCryptoIV(b, n); }},
        {"rsa public", 65535, [](Session& s, const unsigned char* k, int n) { return s.SetRSAPublicKey(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetRSAPublicKey(b, n); }},
        {"rsa private", 65535, [](Session& s, const unsigned char* k, int n) { return s.SetRSAPrivateKey(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetRSAPrivateKey(b, n); }},
    };
    EXPECT_EQ(session->GetSocket(), -1);
    EXPECT_FALSE(session->IsUsed());
    EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_PLAIN);
    EXPECT_EQ(session->GetCryptoStateSend(), CRYPTO_STATE_PLAIN);

    for (const Field& field : fields) {
        SCOPED_TRACE(field.name);
        CVeskNetworkSession& s = *session;
        const int n = field.capacity;
        std::vector<unsigned char> full(static_cast<size_t>(n) + 1);
        for (size_t i = 0; i < full.size(); ++i)
            full[i] = static_cast<unsigned char>(i + 1);
        std::vector<unsigned char> out(static_cast<size_t>(n), 0xEE);
        EXPECT_EQ(field.get(s, out.data(), n), 0) << "a fresh field is empty";

        EXPECT_EQ(field.set(s, full.data(), n), n);
        EXPECT_EQ(field.set(s, full.data(), n + 1), -1);
        EXPECT_EQ(field.set(s, full.data(), 0), -1);
        EXPECT_EQ(field.set(s, nullptr, 8), -1);
        std::fill(out.begin(), out.end(), 0xEE);
        EXPECT_EQ(field.get(s, out.data(), n - 1), -1) << "the buffer must hold the whole key";
        EXPECT_EQ(field.get(s, out.data(), 0), -1);
        EXPECT_EQ(field.get(s, nullptr, n), -1);
        EXPECT_EQ(out[0], 0xEE) << "a refused get leaves the buffer untouched";
        ASSERT_EQ(field.get(s, out.data(), n), n);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), full.begin())) << "a refused set keeps the old key";

        // A shorter key leaves no tail of the longer one, and the rest of
        // the caller's buffer is zeroed.
        const std::vector<unsigned char> short_key(8, 0x22);
        ASSERT_EQ(field.set(s, short_key.data(), 8), 8);
        std::fill(out.begin(), out.end(), 0xEE);
        ASSERT_EQ(field.get(s, out.data(), n), 8);
        EXPECT_TRUE(std::equal(short_key.begin(), short_key.end(), out.begin()));
        EXPECT_EQ(std::count(out.begin() + 8, out.end(), 0), n - 8);
    }
}

TEST_F(NetworkSessionTest, CloseTwiceClosesTheDescriptorOnce)
{
    Adopt();
    session->close();
    EXPECT_EQ(session->GetSocket(), -1);
    EXPECT_FALSE(IsOpen(pair[0]));

    // The number is free again; whoever gets it next must keep it.
    const int reused = dup(pair[1]);
    session->close();
    EXPECT_TRUE(IsOpen(reused));
    ::close(reused);
}

TEST_F(NetworkSessionTest, ReleaseClearsEverythingButTheExtensionObject)
{
    session->SetUsed(true);
    Adopt();
    struct Seen {
        CVeskNetworkSession* session = nullptr;
        short ev = 0;
    } seen;
    Access::SetCallback(
        *session,
        [](CVeskNetworkSession* s, short ev, void* param) {
            *static_cast<Seen*>(param) = Seen{s, ev};
            return 7;
        },
        &seen);
    EXPECT_EQ(Access::Call(*session, NETWORK_EVENT_HANDSHAKE_FINISH), 7);
    EXPECT_EQ(seen.session, session.get());
    EXPECT_EQ(seen.ev, NETWORK_EVENT_HANDSHAKE_FINISH);
    Access::Encrypt(*session);
    unsigned char key[24] = {1};
    session->SetCryptoKey(key, 24);
    session->SetCryptoIV(key, 8);
    session->SetRSAPublicKey(key, 24);
    session->SetRSAPrivateKey(key, 24);
    session->SetRSAPublicExponent(65537);
    const unsigned char payload[5] = {1, 2, 3, 4, 5};
    Access::SocketRing(*session).Append(payload, 5);
    Access::ReceiveRing(*session).Append(payload, 5);
    session->attach_ExtensionObject(&seen);

    session->SetUsed(false);

    EXPECT_FALSE(session->IsUsed());
    EXPECT_EQ(session->GetSocket(), -1);
    char byte;
    EXPECT_EQ(read(pair[1], &byte, 1), 0) << "the peer sees the connection closed";
    EXPECT_EQ(Access::SocketRing(*session).Held(), 0u);
    EXPECT_EQ(Access::ReceiveRing(*session).Held(), 0u);
    EXPECT_EQ(Access::Call(*session, NETWORK_EVENT_READ), 1) << "no callback is left";
    EXPECT_EQ(Access::Algorithm(*session), CRYPTO_ALGORITHM_NONE);
    EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_PLAIN);
    EXPECT_EQ(session->GetCryptoStateSend(), CRYPTO_STATE_PLAIN);
    unsigned char out[32];
    EXPECT_EQ(session->GetCryptoKey(out, 32), 0);
    EXPECT_EQ(session->GetCryptoIV(out, 16), 0);
    EXPECT_EQ(session->GetRSAPublicKey(out, 32), 0);
    EXPECT_EQ(session->GetRSAPrivateKey(out, 32), 0);
    EXPECT_EQ(session->GetRSAPublicExponent(), 0u);
    EXPECT_EQ(session->get_ExtensionObject(), &seen);
}

class SessionEventTest : public NetworkSessionTest {
protected:
    void SetUp() override
    {
        Adopt();
        Access::SetBase(*session, base);
    }
    void TearDown() override
    {
        session.reset();
        NetworkSessionTest::TearDown();
        event_base_free(base);
    }
    static void OnRead(int, short, void* arg) { ++*static_cast<int*>(arg); }

    event_base* base = event_base_new();
    int reads = 0;
};

TEST_F(SessionEventTest, AddArmsDelDisarmsOnceAndCloseDeletesArmedEvents)
{
    EXPECT_EQ(session->AddLibEventRead(nullptr), -1) << "nothing was prepared";
    EXPECT_EQ(session->DelLibEventRead(), -1);

    session->SetLibEventRead(EV_READ | EV_PERSIST, OnRead, &reads);
    EXPECT_EQ(session->AddLibEventRead(nullptr), 0);
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    event_base_loop(base, EVLOOP_ONCE);
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(session->DelLibEventRead(), 0);
    EXPECT_EQ(session->DelLibEventRead(), -1);
    EXPECT_EQ(event_base_loop(base, EVLOOP_NONBLOCK), 1) << "no event is left on the base";

    session->SetLibEventWrite(EV_WRITE, OnRead, &reads);
    ASSERT_EQ(session->AddLibEventRead(nullptr), 0);
    ASSERT_EQ(session->AddLibEventWrite(nullptr), 0);
    session->close();
    EXPECT_EQ(session->DelLibEventRead(), -1);
    EXPECT_EQ(session->DelLibEventWrite(), -1);
    EXPECT_EQ(event_base_loop(base, EVLOOP_NONBLOCK), 1) << "close deleted both events";
    EXPECT_EQ(reads, 1);
}

}  // namespace
