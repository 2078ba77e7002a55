// The owned byte buffer: large buffers start on a page boundary (direct device reads go
// straight into them), the largest come from a pool that hands released ones out again,
// and every size keeps its bytes through growth, copies and moves.
#include "QuarlinCore/io/Data.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace quarlin {
namespace {

bool pageAligned(const Data& data) { return reinterpret_cast<std::uintptr_t>(data.data()) % kLargeBufferAlignment == 0; }

Data pattern(std::size_t size) {
    Data bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>(i * 31 + i / 251);
    return bytes;
}

TEST(DataTest, LargeBuffersArePageAlignedThroughGrowthCopiesAndMoves) {
    for (const std::size_t size : {kLargeBufferBytes, kLargeBufferBytes + 1, kPooledBufferBytes - 1, kPooledBufferBytes,
                                   kPooledBufferBytes + 1, std::size_t{4} << 20}) {
        Data bytes = pattern(size);
        EXPECT_TRUE(pageAligned(bytes)) << size;
        const Data copy = bytes;
        EXPECT_TRUE(pageAligned(copy));
        EXPECT_EQ(copy, bytes);
        Data moved = std::move(bytes);
        EXPECT_TRUE(pageAligned(moved));
        EXPECT_EQ(moved, copy);
    }
    // A small buffer that grows past the threshold moves into an aligned one, bytes intact.
    Data growing = pattern(100);
    const Data start = growing;
    growing.resize(kLargeBufferBytes * 2);
    EXPECT_TRUE(pageAligned(growing));
    EXPECT_EQ(Data(growing.begin(), growing.begin() + 100), start);
    // And one that is shrunk and released goes back to an ordinary allocation.
    growing.resize(10);
    growing.shrink_to_fit();
    EXPECT_EQ(Data(growing.begin(), growing.end()), Data(start.begin(), start.begin() + 10));
}

TEST(DataTest, PooledBuffersAreReusedAndThePoolStaysBounded) {
    const auto hugeAligned = [](const Data& d) { return reinterpret_cast<std::uintptr_t>(d.data()) % kHugePageBytes == 0; };
    const void* released = nullptr;
    {
        Data first = pattern(kPooledBufferBytes + 100);
        EXPECT_TRUE(hugeAligned(first));
        released = first.data();
    }
    // The next buffer of the same rounded size is the one released last, and it is
    // filled with its own bytes, not the old ones.
    Data second = pattern(2 * kPooledBufferBytes);
    EXPECT_EQ(second.data(), released);
    EXPECT_EQ(second, pattern(2 * kPooledBufferBytes));

    // Releasing more than the pool keeps hands the rest back to the system.
    {
        std::vector<Data> many;
        for (std::size_t i = 0; i < 2 * kPooledBufferBytesKeptAtMost / kHugePageBytes; ++i) {
            many.emplace_back(kHugePageBytes);
            many.back().front() = std::byte{1};
        }
    }
    EXPECT_GT(pooledBufferBytesKept(), 0u);
    EXPECT_LE(pooledBufferBytesKept(), kPooledBufferBytesKeptAtMost);
}

}  // namespace
}  // namespace quarlin
