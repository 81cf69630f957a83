// The manager's three fixed pools: creation, release, claiming free elements
// and looking elements up by descriptor; and the listener and datagram
// socket objects they hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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
    static CVeskNetworkSession* Lookup(CVeskNetworkSessionManager& m, SOCKET s) { return m.GetVeskNetworkSession(s); }
    static CVeskNetworkSessionListen* LookupListen(CVeskNetworkSessionManager& m, SOCKET s)
    {
        return m.GetVeskNetworkSessionListen(s);
    }
    static CVeskNetworkUDPSession* LookupUDP(CVeskNetworkSessionManager& m, SOCKET s)
    {
        return m.GetVeskNetworkUDPSession(s);
    }
    static void Adopt(CVeskNetworkSession& session, SOCKET s) { session.AdoptConnection(s, nullptr, 0); }
    static void AdoptListen(CVeskNetworkSessionListen& listener, SOCKET s) { listener.AdoptSocket(s); }
    static void AdoptUDP(CVeskNetworkUDPSession& datagram, SOCKET s, bool bind)
    {
        datagram.AdoptSocket(s);
        datagram.m_bBind = bind;
    }
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

class SessionPoolTest : public ::testing::Test {
protected:
    std::unique_ptr<CVeskNetworkSessionManager> manager = std::make_unique<CVeskNetworkSessionManager>();
};

// Before creation every pool is empty and looks nothing up; a count of zero
// makes an empty pool; a negative count is refused and leaves no pool; a
// second creation is refused and leaves the first pool as it was.
TEST_F(SessionPoolTest, CreationDecisions)
{
    auto& sessions = Access::Sessions(*manager);
    EXPECT_EQ(sessions.Claim(), nullptr);
    EXPECT_EQ(Access::Listeners(*manager).Claim(), nullptr);
    EXPECT_EQ(Access::Datagrams(*manager).Claim(), nullptr);
    EXPECT_EQ(Access::Lookup(*manager, 0), nullptr);
    EXPECT_EQ(Access::LookupListen(*manager, 0), nullptr);
    EXPECT_EQ(Access::LookupUDP(*manager, 0), nullptr);

    EXPECT_EQ(manager->CreateSessions(-1), 0);
    EXPECT_EQ(manager->CreateListenSessions(-5), 0);
    EXPECT_EQ(manager->CreateUDPSessions(-2147483647 - 1), 0);
    EXPECT_EQ(sessions.Data(), nullptr);
    EXPECT_EQ(sessions.Size(), 0);

    EXPECT_EQ(manager->CreateSessions(0), 1);
    EXPECT_NE(sessions.Data(), nullptr);
    EXPECT_EQ(sessions.Size(), 0);
    EXPECT_EQ(sessions.Claim(), nullptr);
    manager->ReleaseSessions();

    ASSERT_EQ(manager->CreateSessions(3), 1) << "the pool can still be created";
    CVeskNetworkSession* first = ClaimInUse(sessions);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manager->CreateSessions(10), 0);
    EXPECT_EQ(sessions.Size(), 3);
    EXPECT_EQ(sessions.Data(), first);
    EXPECT_TRUE(first->IsUsed());
}

TEST_F(SessionPoolTest, ClaimTakesTheLowestFreeIndexAndFailsWhenFull)
{
    ASSERT_EQ(manager->CreateSessions(3), 1);
    auto& pool = Access::Sessions(*manager);
    CVeskNetworkSession* a = ClaimInUse(pool);
    CVeskNetworkSession* b = ClaimInUse(pool);
    CVeskNetworkSession* c = ClaimInUse(pool);
    EXPECT_EQ(a, &pool[0]);
    EXPECT_EQ(b, &pool[1]);
    EXPECT_EQ(c, &pool[2]);
    EXPECT_EQ(pool.Claim(), nullptr);

    b->SetUsed(false);
    a->SetUsed(false);
    EXPECT_EQ(ClaimInUse(pool), a) << "of two free elements the lower index is taken";
    EXPECT_TRUE(c->IsUsed());
}

// A slot never claimed is never built, so a large pool of idle slots costs
// neither memory nor time to create and release.
TEST_F(SessionPoolTest, OnlyClaimedSlotsAreBuilt)
{
    ASSERT_EQ(manager->CreateSessions(100000), 1);
    auto& pool = Access::Sessions(*manager);
    const auto built = [&pool] {
        int count = 0;
        pool.ForEach([&count](CVeskNetworkSession&) { ++count; });
        return count;
    };
    EXPECT_EQ(built(), 0);
    CVeskNetworkSession* a = ClaimInUse(pool);
    ClaimInUse(pool);
    EXPECT_EQ(built(), 2);
    a->SetUsed(false);
    EXPECT_EQ(ClaimInUse(pool), a) << "a released slot is claimed again before a new one is built";
    EXPECT_EQ(built(), 2);
    EXPECT_TRUE(pool.HasFree());
}

TEST_F(SessionPoolTest, LookupIgnoresFreeElementsHoldingTheDescriptor)
{
    ASSERT_EQ(manager->CreateSessions(2), 1);
    SocketPair pair;
    CVeskNetworkSession& slot = Access::Sessions(*manager)[1];
    Access::Adopt(slot, pair.fds[0]);
    EXPECT_EQ(Access::Lookup(*manager, pair.fds[0]), nullptr) << "a free element never matches";
    slot.SetUsed(true);
    EXPECT_EQ(Access::Lookup(*manager, pair.fds[0]), &slot);
    EXPECT_EQ(Access::Lookup(*manager, pair.fds[1]), nullptr);
}

TEST_F(SessionPoolTest, ReleaseClosesOpenSocketsOfEveryPoolAndIsIdempotent)
{
    ASSERT_EQ(manager->CreateSessions(2), 1);
    ASSERT_EQ(manager->CreateListenSessions(1), 1);
    ASSERT_EQ(manager->CreateUDPSessions(1), 1);
    SocketPair session_pair, listen_pair, udp_pair;
    Access::Adopt(*ClaimInUse(Access::Sessions(*manager)), session_pair.fds[0]);
    Access::AdoptListen(*ClaimInUse(Access::Listeners(*manager)), listen_pair.fds[0]);
    Access::AdoptUDP(*ClaimInUse(Access::Datagrams(*manager)), udp_pair.fds[0], true);

    manager->ReleaseSessions();
    EXPECT_TRUE(session_pair.PeerSeesClose());
    EXPECT_EQ(Access::Sessions(*manager).Data(), nullptr);
    EXPECT_EQ(Access::Sessions(*manager).Size(), 0);
    manager->ReleaseSessions();

    manager.reset();
    EXPECT_TRUE(listen_pair.PeerSeesClose());
    EXPECT_TRUE(udp_pair.PeerSeesClose());
}

TEST_F(SessionPoolTest, ConcurrentClaimsNeverShareAnElement)
{
    constexpr int kSlots = 64;
    constexpr int kThreads = 8;
    ASSERT_EQ(manager->CreateUDPSessions(kSlots), 1);
    auto& pool = Access::Datagrams(*manager);
    std::vector<std::vector<CVeskNetworkUDPSession*>> claimed(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            while (CVeskNetworkUDPSession* element = ClaimInUse(pool))
                claimed[t].push_back(element);
        });
    }
    go = true;
    for (auto& thread : threads)
        thread.join();

    std::set<CVeskNetworkUDPSession*> distinct;
    size_t total = 0;
    for (const auto& list : claimed) {
        distinct.insert(list.begin(), list.end());
        total += list.size();
    }
    EXPECT_EQ(total, static_cast<size_t>(kSlots));
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kSlots));
}

// Service names are cut to 31 characters and always terminated; a closed
// datagram socket is unbound but keeps its name.
TEST(ListenerObject, ServiceNameIsAlwaysTerminated)
{
    auto listener = std::make_unique<CVeskNetworkSessionListen>();
    listener->SetListenService("8080");
    EXPECT_STREQ(listener->GetListenService(), "8080");
    const std::string long_name(40, 's');
    listener->SetListenService(long_name.c_str());
    EXPECT_EQ(std::string(listener->GetListenService()), long_name.substr(0, 31));
    listener->SetListenService(nullptr);
    EXPECT_EQ(std::string(listener->GetListenService()), long_name.substr(0, 31));

    auto datagram = std::make_unique<CVeskNetworkUDPSession>();
    datagram->SetBindService(long_name.c_str());
    EXPECT_EQ(std::string(datagram->GetBindService()), long_name.substr(0, 31));
    SocketPair pair;
    Access::AdoptUDP(*datagram, pair.fds[0], true);
    datagram->SetBindService("9000");
    EXPECT_TRUE(datagram->IsBind());
    datagram->close();
    EXPECT_FALSE(datagram->IsBind());
    EXPECT_EQ(datagram->GetSocket(), -1);
    EXPECT_TRUE(pair.PeerSeesClose());
    EXPECT_STREQ(datagram->GetBindService(), "9000");
}

// A failed generation leaves no key; each generation makes a new pair.
TEST(ListenerObject, FailedGenerationLeavesNoKeyAndEachMakesANewPair)
{
    auto listener = std::make_unique<CVeskNetworkSessionListen>();
    std::vector<unsigned char> first(65535), second(65535);
    EXPECT_LT(listener->GenerateRSAKey(512, 65537), 0);
    EXPECT_EQ(listener->GetRSAPublicExponent(), 65537u);
    EXPECT_EQ(listener->GetRSAPublicKey(first.data(), 16), 0);

    ASSERT_GT(listener->GenerateRSAKey(1024, 65537), 0);
    ASSERT_EQ(listener->GetRSAPublicKey(first.data(), 65535), 140);
    ASSERT_GT(listener->GenerateRSAKey(1024, 65537), 0);
    ASSERT_EQ(listener->GetRSAPublicKey(second.data(), 65535), 140);
    EXPECT_NE(first, second);
}

}  // namespace
