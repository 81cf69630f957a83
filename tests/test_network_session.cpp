// The manager's three fixed pools and the socket objects they hold: key
// material rules, release, close and event registrations of a session,
// claiming under contention, and the listener and datagram objects.
#include <event2/event.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "VeskNetworkSystem.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static CVeskPool<CVeskNetworkSession>& Sessions(CVeskNetworkSessionManager& m) { return m.m_SessionArray; }
    static CVeskPool<CVeskNetworkSessionListen>& Listeners(CVeskNetworkSessionManager& m)
    {
        return m.m_SessionListenArray;
    }
    static CVeskPool<CVeskNetworkUDPSession>& Datagrams(CVeskNetworkSessionManager& m) { return m.m_UDPSessionArray; }
    static void Adopt(CVeskNetworkSession& session, SOCKET s) { session.AdoptConnection(s, nullptr, 0); }
    static void AdoptListen(CVeskNetworkSessionListen& listener, SOCKET s) { listener.AdoptSocket(s); }
    static void AdoptUDP(CVeskNetworkUDPSession& datagram, SOCKET s)
    {
        datagram.AdoptSocket(s);
        datagram.m_bBind = true;
    }
    static void SetBase(CVeskNetworkSession& session, event_base* base) { session.SetOwner(nullptr, base); }
    static void SetCallback(CVeskNetworkSession& session, ty_cbfunc_Event cb)
    {
        session.m_cbfunc_Event = cb;
        session.m_cbfunc_EventParam = nullptr;
    }
    static int Call(CVeskNetworkSession& session, short ev) { return session.call_cbfunc_Event(ev); }
};

namespace {

using Access = VeskNetworkTestAccess;

// Claims the lowest free element and puts it in use, as an opener does.
template <class Element>
Element* ClaimInUse(CVeskPool<Element>& pool)
{
    Element* element = pool.Claim();
    if (element != nullptr)
        element->SetUsed(true);
    return element;
}

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~SocketPair() { ::close(fds[1]); }
    bool PeerSeesClose() const
    {
        char byte;
        return read(fds[1], &byte, 1) == 0;
    }
    int fds[2] = {-1, -1};
};

// Every key field takes 1..capacity bytes and hands them out zero-filled to a
// buffer that holds them; a refusal leaves the field and the buffer alone; a
// shorter key leaves no tail of the longer one.
TEST(NetworkSession, KeyFieldsFollowTheirRangeRules)
{
    using Session = CVeskNetworkSession;
    struct Field {
        int capacity;
        int (*set)(Session&, const unsigned char*, int);
        int (*get)(const Session&, unsigned char*, int);
    };
    const Field fields[] = {
        {32, [](Session& s, const unsigned char* k, int n) { return s.SetCryptoKey(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetCryptoKey(b, n); }},
        {16, [](Session& s, const unsigned char* k, int n) { return s.SetCryptoIV(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetCryptoIV(b, n); }},
        {65535, [](Session& s, const unsigned char* k, int n) { return s.SetRSAPublicKey(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetRSAPublicKey(b, n); }},
        {65535, [](Session& s, const unsigned char* k, int n) { return s.SetRSAPrivateKey(k, n); },
         [](const Session& s, unsigned char* b, int n) { return s.GetRSAPrivateKey(b, n); }},
    };
    auto session = std::make_unique<Session>();
    for (const Field& field : fields) {
        SCOPED_TRACE("capacity " + std::to_string(field.capacity));
        const int n = field.capacity;
        std::vector<unsigned char> full(static_cast<size_t>(n) + 1, 0x11);
        std::vector<unsigned char> out(static_cast<size_t>(n), 0xEE);
        EXPECT_EQ(field.get(*session, out.data(), n), 0) << "a fresh field is empty";
        EXPECT_EQ(field.set(*session, full.data(), n), n);
        EXPECT_EQ(field.set(*session, full.data(), n + 1), -1);
        EXPECT_EQ(field.set(*session, full.data(), 0), -1);
        EXPECT_EQ(field.set(*session, nullptr, 8), -1);
        std::fill(out.begin(), out.end(), 0xEE);
        EXPECT_EQ(field.get(*session, out.data(), n - 1), -1) << "the buffer must hold the whole key";
        EXPECT_EQ(field.get(*session, nullptr, n), -1);
        EXPECT_EQ(out[0], 0xEE) << "a refused get leaves the buffer untouched";
        ASSERT_EQ(field.get(*session, out.data(), n), n);
        EXPECT_EQ(std::count(out.begin(), out.end(), 0x11), n) << "a refused set keeps the old key";
        ASSERT_EQ(field.set(*session, std::vector<unsigned char>(8, 0x22).data(), 8), 8);
        ASSERT_EQ(field.get(*session, out.data(), n), 8);
        EXPECT_EQ(std::count(out.begin() + 8, out.end(), 0), n - 8);
    }
}

// Close deletes the armed events, so that none of a closed descriptor can
// fire, and closes the descriptor once: a second close must not close a
// number someone else got in between. Release wipes the keys, forgets the
// callback and keeps the application's extension object.
TEST(NetworkSession, CloseAndReleaseLeaveNothingOfTheConnectionBehind)
{
    event_base* base = event_base_new();
    auto session = std::make_unique<CVeskNetworkSession>();
    SocketPair pair;
    session->SetUsed(true);
    Access::Adopt(*session, pair.fds[0]);
    Access::SetBase(*session, base);
    Access::SetCallback(*session, [](CVeskNetworkSession*, short, void*) { return 7; });
    const unsigned char key[24] = {1};
    session->SetCryptoKey(key, 24);
    session->SetRSAPrivateKey(key, 24);
    int extension = 0;
    session->attach_ExtensionObject(&extension);
    int fired = 0;
    const auto count = [](int, short, void* arg) { ++*static_cast<int*>(arg); };
    EXPECT_EQ(session->AddLibEventRead(nullptr), -1) << "nothing was prepared";
    session->SetLibEventRead(EV_READ | EV_PERSIST, count, &fired);
    session->SetLibEventWrite(EV_WRITE, count, &fired);
    ASSERT_EQ(session->AddLibEventRead(nullptr), 0);
    ASSERT_EQ(session->AddLibEventWrite(nullptr), 0);

    session->close();
    EXPECT_EQ(session->DelLibEventRead(), -1);
    EXPECT_EQ(session->DelLibEventWrite(), -1);
    EXPECT_EQ(event_base_loop(base, EVLOOP_NONBLOCK), 1) << "close deleted both events";
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(pair.PeerSeesClose());
    const int reused = dup(pair.fds[1]);
    session->close();
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    ::close(reused);

    session->SetUsed(false);
    EXPECT_EQ(Access::Call(*session, NETWORK_EVENT_READ), 1) << "no callback is left";
    unsigned char out[32];
    EXPECT_EQ(session->GetCryptoKey(out, 32), 0);
    EXPECT_EQ(session->GetRSAPrivateKey(out, 32), 0);
    EXPECT_EQ(session->get_ExtensionObject(), &extension);
    session.reset();
    event_base_free(base);
}

// A negative count is refused and leaves no pool, zero makes an empty one, a
// second creation is refused and leaves the first as it was; a slot never
// claimed is never built, so idle slots cost nothing. Releasing closes the
// open sockets of every pool, and a second release does nothing.
TEST(SessionPool, CreationDecisionsOnlyClaimedSlotsBuiltAndReleaseClosesSockets)
{
    auto manager = std::make_unique<CVeskNetworkSessionManager>();
    auto& pool = Access::Sessions(*manager);
    EXPECT_EQ(pool.Claim(), nullptr);
    EXPECT_EQ(manager->CreateSessions(-1), 0);
    EXPECT_EQ(manager->CreateListenSessions(-5), 0);
    EXPECT_EQ(manager->CreateUDPSessions(-2147483647 - 1), 0);
    EXPECT_EQ(manager->CreateSessions(0), 1);
    EXPECT_EQ(pool.Claim(), nullptr);
    manager->ReleaseSessions();

    ASSERT_EQ(manager->CreateSessions(100000), 1);
    CVeskNetworkSession* first = ClaimInUse(pool);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manager->CreateSessions(10), 0);
    EXPECT_EQ(pool.Size(), 100000);
    EXPECT_TRUE(first->IsUsed());
    ClaimInUse(pool);
    first->SetUsed(false);
    EXPECT_EQ(ClaimInUse(pool), first) << "a released slot is claimed again before a new one is built";
    int built = 0;
    pool.ForEach([&built](CVeskNetworkSession&) { ++built; });
    EXPECT_EQ(built, 2);

    ASSERT_EQ(manager->CreateListenSessions(1), 1);
    ASSERT_EQ(manager->CreateUDPSessions(1), 1);
    SocketPair session_pair, listen_pair, udp_pair;
    Access::Adopt(*first, session_pair.fds[0]);
    Access::AdoptListen(*ClaimInUse(Access::Listeners(*manager)), listen_pair.fds[0]);
    Access::AdoptUDP(*ClaimInUse(Access::Datagrams(*manager)), udp_pair.fds[0]);
    manager->ReleaseSessions();
    EXPECT_TRUE(session_pair.PeerSeesClose());
    manager->ReleaseSessions();
    manager.reset();
    EXPECT_TRUE(listen_pair.PeerSeesClose());
    EXPECT_TRUE(udp_pair.PeerSeesClose());
}

TEST(SessionPool, ConcurrentClaimsNeverShareAnElement)
{
    constexpr int kSlots = 64;
    auto manager = std::make_unique<CVeskNetworkSessionManager>();
    ASSERT_EQ(manager->CreateUDPSessions(kSlots), 1);
    auto& pool = Access::Datagrams(*manager);
    std::vector<std::vector<CVeskNetworkUDPSession*>> claimed(8);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (auto& mine : claimed)
        threads.emplace_back([&go, &pool, &mine] {
            while (!go.load())
                std::this_thread::yield();
            while (CVeskNetworkUDPSession* element = ClaimInUse(pool))
                mine.push_back(element);
        });
    go = true;
    std::set<CVeskNetworkUDPSession*> distinct;
    size_t total = 0;
    for (size_t t = 0; t < threads.size(); ++t) {
        threads[t].join();
        distinct.insert(claimed[t].begin(), claimed[t].end());
        total += claimed[t].size();
    }
    EXPECT_EQ(total, static_cast<size_t>(kSlots));
    EXPECT_EQ(distinct.size(), total);
}

// Service names are cut to 31 characters and always terminated; a closed
// datagram socket is unbound but keeps its name. A failed key generation
// leaves the listener without a key.
TEST(ListenerObject, ServiceNamesAreTerminatedAndAFailedGenerationLeavesNoKey)
{
    auto listener = std::make_unique<CVeskNetworkSessionListen>();
    const std::string long_name(40, 's');
    listener->SetListenService(long_name.c_str());
    EXPECT_EQ(std::string(listener->GetListenService()), long_name.substr(0, 31));
    listener->SetListenService(nullptr);
    EXPECT_EQ(std::string(listener->GetListenService()), long_name.substr(0, 31));
    unsigned char key[16];
    EXPECT_LT(listener->GenerateRSAKey(512, 65537), 0);
    EXPECT_EQ(listener->GetRSAPublicKey(key, sizeof key), 0);

    auto datagram = std::make_unique<CVeskNetworkUDPSession>();
    datagram->SetBindService(long_name.c_str());
    EXPECT_EQ(std::string(datagram->GetBindService()), long_name.substr(0, 31));
    SocketPair pair;
    Access::AdoptUDP(*datagram, pair.fds[0]);
    datagram->SetBindService("9000");
    datagram->close();
    EXPECT_FALSE(datagram->IsBind());
    EXPECT_TRUE(pair.PeerSeesClose());
    EXPECT_STREQ(datagram->GetBindService(), "9000");
}

}  // namespace
