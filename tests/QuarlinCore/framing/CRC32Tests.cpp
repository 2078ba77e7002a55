#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <thread>
#include <vector>

#include "QuarlinCore/framing/CRC32.h"

namespace quarlin {
namespace {

std::vector<std::byte> randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::byte> out(n);
    for (auto& b : out) b = static_cast<std::byte>(rng());
    return out;
}

std::uint32_t zlibCRC(std::span<const std::byte> bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

TEST(CRC32, StandardCheckValueAndEmptyRange) {
    const std::string digits = "123456789";
    const auto bytes = std::as_bytes(std::span(digits));
    EXPECT_EQ(CRC32::compute(bytes), 0xCBF43926U);
    EXPECT_EQ(CRC32::compute(bytes, 0, 9), 0xCBF43926U);
    EXPECT_EQ(CRC32::compute(bytes, 4, 4), 0U);
    EXPECT_EQ(CRC32::compute({}), 0U);
}

TEST(CRC32, AgreesWithZlibOnSubRanges) {
    const auto bytes = randomBytes(70000, 7);
    struct Range {
        std::int64_t from;
        std::int64_t to;
    };
    for (const Range r :
         {Range{0, 70000}, Range{1, 2}, Range{13, 4096}, Range{69999, 70000}, Range{500, 65537}}) {
        SCOPED_TRACE(r.from);
        const std::vector<std::byte> copy(bytes.begin() + r.from, bytes.begin() + r.to);
        EXPECT_EQ(CRC32::compute(bytes, r.from, r.to), zlibCRC(copy));
    }
    EXPECT_EQ(CRC32::compute(bytes, 100), zlibCRC(std::span(bytes).subspan(100)));
}

TEST(CRC32, RangesOutsideTheBytesReadNothing) {
    const auto bytes = randomBytes(16, 3);
    const std::span<const std::byte> head =
        std::span(bytes).first(8);  // bytes 8.. exist but are not ours
    struct Range {
        const char* name;
        std::int64_t from;
        std::optional<std::int64_t> to;
    };
    for (const Range r :
         {Range{"past the end", 0, 9}, Range{"reversed", 5, 2}, Range{"negative start", -1, 4},
          Range{"start past the end", 9, std::nullopt}, Range{"far past", 0, INT64_MAX}}) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(CRC32::compute(head, r.from, r.to), 0U);
    }
}

TEST(CRC32, ConcurrentFirstCallsAllSeeTheSameTable) {
    const auto bytes = randomBytes(4096, 11);
    const std::uint32_t expected = zlibCRC(bytes);
    std::vector<std::uint32_t> results(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = CRC32::compute(bytes); });
    for (auto& t : threads) t.join();
    for (const auto r : results) EXPECT_EQ(r, expected);
}

}  // namespace
}  // namespace quarlin
