// The manager's fixed pools and a session's key fields: the checks that no
// connection shows, since every connection claims one slot at a time and
// carries keys of the lengths its algorithm fixes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "VeskNetworkSystem.h"

using namespace VeskNetworkSystem;

struct VeskNetworkTestAccess {
    static CVeskPool<CVeskNetworkSession>& Sessions(CVeskNetworkSessionManager& m) { return m.m_SessionArray; }
    static CVeskPool<CVeskNetworkUDPSession>& Datagrams(CVeskNetworkSessionManager& m) { return m.m_UDPSessionArray; }
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

// A key field takes 1..capacity bytes and hands them out zero-filled to a
// buffer that holds them; a refusal leaves the field and the buffer alone; a
// shorter key leaves no tail of the longer one.
TEST(NetworkSession, KeyFieldsFollowTheirRangeRules)
{
    constexpr int n = CVeskNetworkSession::kCryptoKeyCapacity;
    auto session = std::make_unique<CVeskNetworkSession>();
    std::vector<unsigned char> full(n + 1, 0x11);
    std::vector<unsigned char> out(n, 0xEE);
    EXPECT_EQ(session->GetCryptoKey(out.data(), n), 0) << "a fresh field is empty";
    EXPECT_EQ(session->SetCryptoKey(full.data(), n), n);
    EXPECT_EQ(session->SetCryptoKey(full.data(), n + 1), -1);
    EXPECT_EQ(session->SetCryptoKey(full.data(), 0), -1);
    EXPECT_EQ(session->SetCryptoKey(nullptr, 8), -1);
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(session->GetCryptoKey(out.data(), n - 1), -1) << "the buffer must hold the whole key";
    EXPECT_EQ(session->GetCryptoKey(nullptr, n), -1);
    EXPECT_EQ(out[0], 0xEE) << "a refused get leaves the buffer untouched";
    ASSERT_EQ(session->GetCryptoKey(out.data(), n), n);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0x11), n) << "a refused set keeps the old key";
    ASSERT_EQ(session->SetCryptoKey(std::vector<unsigned char>(8, 0x22).data(), 8), 8);
    ASSERT_EQ(session->GetCryptoKey(out.data(), n), 8);
    EXPECT_EQ(std::count(out.begin() + 8, out.end(), 0), n - 8);
}

// Zero makes an empty pool, a second creation is refused and leaves the
// first as it was; a slot never claimed is never built, so idle slots cost
// nothing.
TEST(SessionPool, CreationDecisionsAndOnlyClaimedSlotsBuilt)
{
    auto manager = std::make_unique<CVeskNetworkSessionManager>();
    auto& pool = Access::Sessions(*manager);
    EXPECT_EQ(manager->CreateSessions(0), 1);
    EXPECT_EQ(pool.Claim(), nullptr);
    manager->ReleaseSessions();

    ASSERT_EQ(manager->CreateSessions(100000), 1);
    CVeskNetworkSession* first = ClaimInUse(pool);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(manager->CreateSessions(10), 0);
    EXPECT_EQ(pool.Size(), 100000);
    ClaimInUse(pool);
    first->SetUsed(false);
    EXPECT_EQ(ClaimInUse(pool), first) << "a released slot is claimed again before a new one is built";
    int built = 0;
    pool.ForEach([&built](CVeskNetworkSession&) { ++built; });
    EXPECT_EQ(built, 2);
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

}  // namespace
