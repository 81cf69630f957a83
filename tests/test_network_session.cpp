// The manager's fixed pools, a session's key fields and the ring that carries
// socket bytes (20000 bytes here): the bounds that no connection reaches, since
// every connection claims one slot at a time, carries keys of the lengths its
// algorithm fixes and reads only into the room its ring has.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "VeskNetworkSystem.h"
#include "raw_peer.h"

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
// nothing. Concurrent claims never share an element.
TEST(SessionPool, CreationDecisionsOnlyClaimedSlotsBuiltAndConcurrentClaimsNeverShared)
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

    constexpr int kSlots = 64;
    ASSERT_EQ(manager->CreateUDPSessions(kSlots), 1);
    auto& datagrams = Access::Datagrams(*manager);
    std::vector<std::vector<CVeskNetworkUDPSession*>> claimed(8);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (auto& mine : claimed)
        threads.emplace_back([&go, &datagrams, &mine] {
            while (!go.load())
                std::this_thread::yield();
            while (CVeskNetworkUDPSession* element = ClaimInUse(datagrams))
                mine.push_back(element);
        });
    go = true;
    std::vector<CVeskNetworkUDPSession*> all;
    for (size_t t = 0; t < threads.size(); ++t) {
        threads[t].join();
        all.insert(all.end(), claimed[t].begin(), claimed[t].end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kSlots));
    EXPECT_EQ(std::set<CVeskNetworkUDPSession*>(all.begin(), all.end()).size(), all.size()) << "no element twice";
}

// One byte always stays empty; an append that does not fit writes nothing.
// A ring grows and shrinks back keeping the bytes it holds in order across
// its end, but never shrinks below what it holds. Reset gives the storage
// back.
TEST(ByteRing, AppendIsAllOrNothingResizeKeepsTheHeldBytesResetGivesTheStorageBack)
{
    CVeskByteRing ring;
    ASSERT_TRUE(ring.Allocate());
    const auto bytes = vesk_test::Random(19999);
    ASSERT_TRUE(ring.Append(bytes.data(), 19990));
    EXPECT_FALSE(ring.Append(bytes.data(), 10));
    EXPECT_EQ(ring.Held(), 19990u);
    EXPECT_TRUE(ring.Append(bytes.data(), 9));
    EXPECT_EQ(ring.Free(), 0u);
    EXPECT_FALSE(ring.Append(bytes.data(), 1));
    iovec spans[2];
    EXPECT_EQ(ring.WritableSpans(spans), 0);

    ASSERT_TRUE(ring.Consume(19999));
    const auto wrapped = vesk_test::Random(100);
    ASSERT_TRUE(ring.Append(wrapped.data(), wrapped.size()));
    ASSERT_TRUE(ring.Resize(1 << 18));
    const auto more = vesk_test::Random(30000);
    ASSERT_TRUE(ring.Append(more.data(), more.size()));
    EXPECT_FALSE(ring.Resize(CVeskByteRing::kSize)) << "30100 bytes do not fit in the default ring";
    std::vector<unsigned char> out(100);
    ASSERT_EQ(ring.Read(out.data(), out.size()), 100u);
    EXPECT_EQ(out, wrapped);
    out.resize(more.size());
    ASSERT_EQ(ring.Read(out.data(), out.size()), more.size());
    EXPECT_EQ(out, more);
    ASSERT_TRUE(ring.Resize(CVeskByteRing::kSize));
    EXPECT_EQ(ring.Free(), CVeskByteRing::kUsable);

    ring.Reset();
    EXPECT_FALSE(ring.Append(bytes.data(), 1)) << "nothing fits until the ring has storage again";
    ASSERT_TRUE(ring.Allocate());
    EXPECT_EQ(ring.Free(), CVeskByteRing::kUsable);
}

}  // namespace
