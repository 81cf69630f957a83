// The ring that carries socket bytes (20000 bytes here): the bounds that no
// connection reaches, as a session reads only into the room the ring has.
#include <gtest/gtest.h>

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

// One byte always stays empty; an append that does not fit writes nothing.
// A ring grows and shrinks back keeping the bytes it holds in order across
// its end, but never shrinks below what it holds. Reset gives the storage
// back.
TEST(ByteRing, AppendIsAllOrNothingResizeKeepsTheHeldBytesResetGivesTheStorageBack)
{
    CVeskByteRing ring;
    ASSERT_TRUE(ring.Allocate());
    const auto bytes = Sequence(19999);
    ASSERT_TRUE(ring.Append(bytes.data(), 19990));
    EXPECT_FALSE(ring.Append(bytes.data(), 10));
    EXPECT_EQ(ring.Held(), 19990u);
    EXPECT_TRUE(ring.Append(bytes.data(), 9));
    EXPECT_EQ(ring.Free(), 0u);
    EXPECT_FALSE(ring.Append(bytes.data(), 1));
    iovec spans[2];
    EXPECT_EQ(ring.WritableSpans(spans), 0);

    ASSERT_TRUE(ring.Consume(19999));
    const auto wrapped = Sequence(100, 3);
    ASSERT_TRUE(ring.Append(wrapped.data(), wrapped.size()));
    ASSERT_TRUE(ring.Resize(1 << 18));
    const auto more = Sequence(30000, 9);
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
