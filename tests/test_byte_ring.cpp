// The rings that carry socket bytes and delivered payload (20000 bytes here).
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "VeskNetworkSystem.h"

using VeskNetworkSystem::CVeskByteRing;

namespace {

std::vector<unsigned char> Sequence(size_t n, unsigned char first = 0)
{
    std::vector<unsigned char> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class ByteRingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ring.Allocate()); }

    // Moves both points to `offset` so that later writes wrap the end.
    void AdvanceTo(size_t offset)
    {
        std::vector<unsigned char> filler(offset);
        ASSERT_TRUE(ring.Append(filler.data(), filler.size()));
        ring.Consume(offset);
    }

    CVeskByteRing ring;
};

// One byte always stays empty; an append that does not fit writes nothing.
TEST_F(ByteRingTest, HoldsAtMostOneByteLessThanItsSizeAndAppendIsAllOrNothing)
{
    EXPECT_EQ(ring.Held(), 0u);
    EXPECT_EQ(ring.Free(), 19999u);
    const auto bytes = Sequence(19999);
    ASSERT_TRUE(ring.Append(bytes.data(), 19990));
    EXPECT_FALSE(ring.Append(bytes.data(), 10));
    EXPECT_EQ(ring.Held(), 19990u);
    EXPECT_TRUE(ring.Append(bytes.data(), 9));
    EXPECT_EQ(ring.Held(), 19999u);
    EXPECT_EQ(ring.Free(), 0u);
    EXPECT_FALSE(ring.Append(bytes.data(), 1));
    iovec spans[2];
    EXPECT_EQ(ring.WritableSpans(spans), 0);
}

// Appends and span writes wrap the end in order; only held bytes are peeked.
TEST_F(ByteRingTest, KeepsOrderAcrossTheEndAndPeeksOnlyHeldBytes)
{
    AdvanceTo(19990);
    iovec spans[2];
    ASSERT_EQ(ring.WritableSpans(spans), 2);
    EXPECT_EQ(spans[0].iov_len, 10u);
    EXPECT_EQ(spans[0].iov_len + spans[1].iov_len, ring.Free());
    const auto bytes = Sequence(100, 7);
    std::memcpy(spans[0].iov_base, bytes.data(), 10);
    std::memcpy(spans[1].iov_base, bytes.data() + 10, 15);
    ring.Commit(25);
    ASSERT_TRUE(ring.Append(bytes.data() + 25, 75));
    EXPECT_LT(ring.WritePoint(), ring.ReadPoint());
    EXPECT_EQ(ring.Free(), 19899u);

    unsigned char peeked[10];
    ASSERT_TRUE(ring.Peek(peeked, sizeof peeked, 3));
    EXPECT_EQ(peeked[9], 19);
    EXPECT_TRUE(ring.Peek(peeked, 10, 90));
    EXPECT_FALSE(ring.Peek(peeked, 10, 91)) << "bytes not held are refused";
    EXPECT_FALSE(ring.Peek(peeked, 1, 100));

    std::vector<unsigned char> out(150);
    EXPECT_EQ(ring.Read(out.data(), out.size()), 100u);
    out.resize(100);
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(ring.Held(), 0u);
}

// A look holds what the ring held when it was taken: bytes appended after it
// are not part of it, no read through it reaches past it, and nothing is
// consumed past the write point.
TEST_F(ByteRingTest, ALookHoldsOnlyWhatWasHeldWhenItWasTaken)
{
    AdvanceTo(19997);
    const auto bytes = Sequence(20, 1);
    ASSERT_TRUE(ring.Append(bytes.data(), 3));
    const CVeskByteRing::View looked = ring.Look();
    ASSERT_TRUE(ring.Append(bytes.data() + 3, 17));

    EXPECT_EQ(looked.Held(), 3u);
    unsigned char header[6];
    EXPECT_FALSE(looked.Peek(header, sizeof header));
    CVeskByteRing::Span spans[2];
    EXPECT_EQ(looked.ReadableSpans(0, sizeof header, spans), 0);
    EXPECT_EQ(looked.ReadableSpans(3, 1, spans), 0);
    ASSERT_EQ(looked.ReadableSpans(0, 3, spans), 1);
    EXPECT_EQ(spans[0].data[2], 3);

    EXPECT_TRUE(ring.Look().Peek(header, sizeof header));
    EXPECT_EQ(header[5], 6);
    ASSERT_EQ(ring.Look().ReadableSpans(0, 20, spans), 2) << "held bytes across the end lie in two spans";
    EXPECT_EQ(spans[0].length, 3u);
    EXPECT_EQ(spans[1].data[16], 20);
    EXPECT_FALSE(ring.Consume(21));
    EXPECT_EQ(ring.Held(), 20u);
    EXPECT_TRUE(ring.Consume(20));
    EXPECT_EQ(ring.Held(), 0u);
}

// A ring grows for a busy peer and shrinks back between bursts, keeping the
// bytes it holds in order; it never shrinks below what it holds. Reset gives
// the storage back: nothing fits until it has storage again.
TEST_F(ByteRingTest, ResizeKeepsTheHeldBytesInOrderAndResetGivesTheStorageBack)
{
    AdvanceTo(19990);
    const auto bytes = Sequence(100, 3);
    ASSERT_TRUE(ring.Append(bytes.data(), bytes.size()));
    ASSERT_TRUE(ring.Resize(1 << 18));
    EXPECT_EQ(ring.Free(), (1u << 18) - 1 - 100);
    const auto more = Sequence(30000, 9);
    ASSERT_TRUE(ring.Append(more.data(), more.size()));
    EXPECT_FALSE(ring.Resize(CVeskByteRing::kSize)) << "30100 bytes do not fit in the default ring";
    std::vector<unsigned char> out(100);
    ASSERT_EQ(ring.Read(out.data(), out.size()), 100u);
    EXPECT_EQ(out, bytes);
    out.resize(more.size());
    ASSERT_EQ(ring.Read(out.data(), out.size()), more.size());
    EXPECT_EQ(out, more);
    ASSERT_TRUE(ring.Resize(CVeskByteRing::kSize));
    EXPECT_EQ(ring.Free(), CVeskByteRing::kUsable);

    ASSERT_TRUE(ring.Append(bytes.data(), bytes.size()));
    ring.Reset();
    EXPECT_EQ(ring.Held(), 0u);
    EXPECT_EQ(ring.Free(), 0u);
    EXPECT_FALSE(ring.Append(bytes.data(), 1));
    ASSERT_TRUE(ring.Allocate());
    EXPECT_EQ(ring.Free(), CVeskByteRing::kUsable);
}

}  // namespace
