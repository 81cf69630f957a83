// The TCP session object: key material accessors, release, close and its
// event registrations.
#include <event2/event.h>
#include <event2/thread.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    std::unique_ptr<CVeskNetworkSession> session = std::make_unique<CVeskNetworkSession>();
};

TEST_F(NetworkSessionTest, KeySetterTakesOneToThirtyTwoBytes)
{
    unsigned char key[33];
    for (int i = 0; i < 33; ++i)
        key[i] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(session->SetCryptoKey(key, 32), 32);
    EXPECT_EQ(session->SetCryptoKey(key, 33), -1);
    EXPECT_EQ(session->SetCryptoKey(key, 0), -1);
    EXPECT_EQ(session->SetCryptoKey(nullptr, 8), -1);

    unsigned char out[32];
    ASSERT_EQ(session->GetCryptoKey(out, 32), 32);
    EXPECT_EQ(0, std::memcmp(out, key, 32)) << "a refused set keeps the old key";
}

TEST_F(NetworkSessionTest, KeyGetterZeroesTheCallersWholeBuffer)
{
    unsigned char key[24];
    std::memset(key, 0xAB, sizeof key);
    ASSERT_EQ(session->SetCryptoKey(key, 24), 24);

    unsigned char out[32];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(session->GetCryptoKey(out, 32), 24);
    EXPECT_EQ(0, std::memcmp(out, key, 24));
    for (int i = 24; i < 32; ++i)
        EXPECT_EQ(out[i], 0) << i;

    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(session->GetCryptoKey(out, 16), -1);
    EXPECT_EQ(session->GetCryptoKey(out, 0), -1);
    EXPECT_EQ(session->GetCryptoKey(nullptr, 32), -1);
    EXPECT_EQ(out[0], 0xEE) << "a refused get leaves the buffer untouched";
}

TEST_F(NetworkSessionTest, ShorterKeyLeavesNoTailOfTheLongerOne)
{
    unsigned char long_key[32];
    std::memset(long_key, 0x11, sizeof long_key);
    unsigned char short_key[8];
    std::memset(short_key, 0x22, sizeof short_key);
    ASSERT_EQ(session->SetCryptoKey(long_key, 32), 32);
    ASSERT_EQ(session->SetCryptoKey(short_key, 8), 8);

    unsigned char out[32];
    ASSERT_EQ(session->GetCryptoKey(out, 32), 8);
    for (int i = 8; i < 32; ++i)
        EXPECT_EQ(out[i], 0) << i;
}

TEST_F(NetworkSessionTest, FreshSessionHasEmptyKeyMaterial)
{
    unsigned char out[64];
    EXPECT_EQ(session->GetCryptoKey(out, 32), 0);
    EXPECT_EQ(session->GetCryptoIV(out, 16), 0);
    EXPECT_EQ(session->GetRSAPublicKey(out, 64), 0);
    EXPECT_EQ(session->GetSocket(), -1);
    EXPECT_FALSE(session->IsUsed());
    EXPECT_EQ(session->GetCryptoStateRecv(), CRYPTO_STATE_PLAIN);
    EXPECT_EQ(session->GetCryptoStateSend(), CRYPTO_STATE_PLAIN);
}

TEST_F(NetworkSessionTest, IVAndRSAFieldsFollowTheirOwnRanges)
{
    unsigned char iv[17] = {};
    EXPECT_EQ(session->SetCryptoIV(iv, 16), 16);
    EXPECT_EQ(session->SetCryptoIV(iv, 17), -1);

    std::vector<unsigned char> big(65536, 0x5A);
    EXPECT_EQ(session->SetRSAPublicKey(big.data(), 65535), 65535);
    EXPECT_EQ(session->SetRSAPublicKey(big.data(), 65536), -1);
    EXPECT_EQ(session->SetRSAPrivateKey(big.data(), 0), -1);

    std::vector<unsigned char> out(65535);
    EXPECT_EQ(session->GetRSAPublicKey(out.data(), 65534), -1);
    EXPECT_EQ(session->GetRSAPublicKey(out.data(), 65535), 65535);
}

TEST_F(NetworkSessionTest, SocketAddressCopiesOnlyWhenAsked)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Access::Adopt(*session, pair[0]);
    sockaddr* inside = session->GetSocketAddr(nullptr);
    ASSERT_NE(inside, nullptr);
    EXPECT_EQ(inside->sa_family, AF_INET);

    sockaddr_storage copy;
    std::memset(&copy, 0xFF, sizeof copy);
    EXPECT_EQ(session->GetSocketAddr(&copy), inside);
    EXPECT_EQ(0, std::memcmp(&copy, inside, sizeof copy));
    ::close(pair[1]);
}

TEST_F(NetworkSessionTest, CloseTwiceClosesTheDescriptorOnce)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Access::Adopt(*session, pair[0]);
    session->close();
    EXPECT_EQ(session->GetSocket(), -1);
    EXPECT_FALSE(IsOpen(pair[0]));

    // The number is free again; whoever gets it next must keep it.
    const int reused = dup(pair[1]);
    session->close();
    EXPECT_TRUE(IsOpen(reused));
    ::close(reused);
    ::close(pair[1]);
}

TEST_F(NetworkSessionTest, ReleaseClearsEverythingButTheExtensionObject)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    session->SetUsed(true);
    Access::Adopt(*session, pair[0]);
    int owner = 0;
    Access::SetCallback(
        *session, [](CVeskNetworkSession*, short, void*) { return 7; }, &owner);
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
    session->attach_ExtensionObject(&owner);

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
    EXPECT_EQ(session->get_ExtensionObject(), &owner);
    ::close(pair[1]);
}

TEST_F(NetworkSessionTest, CallbackReceivesSessionEventAndParameter)
{
    session->SetUsed(true);
    struct Seen {
        CVeskNetworkSession* session = nullptr;
        short ev = 0;
    } seen;
    Access::SetCallback(
        *session,
        [](CVeskNetworkSession* s, short ev, void* param) {
            auto* out = static_cast<Seen*>(param);
            out->session = s;
            out->ev = ev;
            return 5;
        },
        &seen);
    EXPECT_EQ(Access::Call(*session, NETWORK_EVENT_HANDSHAKE_FINISH), 5);
    EXPECT_EQ(seen.session, session.get());
    EXPECT_EQ(seen.ev, NETWORK_EVENT_HANDSHAKE_FINISH);
}

class SessionEventTest : public NetworkSessionTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Access::Adopt(*session, pair[0]);
        Access::SetBase(*session, base);
    }
    void TearDown() override
    {
        session.reset();
        ::close(pair[1]);
        event_base_free(base);
    }
    static void OnRead(int, short, void* arg) { ++*static_cast<int*>(arg); }

    int pair[2] = {-1, -1};
    event_base* base = event_base_new();
    int reads = 0;
};

TEST_F(SessionEventTest, AddArmsAndDelDisarmsOnce)
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
}

TEST_F(SessionEventTest, CloseDeletesArmedEvents)
{
    session->SetLibEventRead(EV_READ | EV_PERSIST, OnRead, &reads);
    session->SetLibEventWrite(EV_WRITE, OnRead, &reads);
    ASSERT_EQ(session->AddLibEventRead(nullptr), 0);
    ASSERT_EQ(session->AddLibEventWrite(nullptr), 0);
    session->close();
    EXPECT_EQ(session->DelLibEventRead(), -1);
    EXPECT_EQ(session->DelLibEventWrite(), -1);
    EXPECT_EQ(event_base_loop(base, EVLOOP_NONBLOCK), 1) << "no event is left on the base";
    EXPECT_EQ(reads, 0);
}

}  // namespace
