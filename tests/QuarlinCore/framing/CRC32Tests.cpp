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

// The plain definition, one bit at a time.
std::uint32_t bitwiseCRC(std::span<const std::byte> bytes) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const std::byte b : bytes) {
        crc ^= std::to_integer<std::uint32_t>(b);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1U) ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
    }
    return ~crc;
}

// Every way of computing (those the processor has) at every length
// around their block sizes, every alignment, and carried over a split at any point.
TEST(CRC32, AgreesWithThePlainDefinitionAtEveryLengthAlignmentAndSplit) {
    const auto bytes = randomBytes(70000, 7);
    std::vector<std::int64_t> lengths;
    for (std::int64_t length = 1; length <= 300; ++length) lengths.push_back(length);
    for (const std::int64_t length : {4095, 4096, 4097, 4111, 12289, 65537, 69984}) lengths.push_back(length);
    for (std::int64_t from = 0; from < 16; ++from) {
        for (const std::int64_t length : lengths) {
            const auto range = std::span(bytes).subspan(from, length);
            const std::uint32_t expected = bitwiseCRC(range);
            ASSERT_EQ(CRC32::compute(bytes, from, from + length), expected) << from << "+" << length;
            for (const auto way : {CRC32::Way::tables, CRC32::Way::folding})
                ASSERT_EQ(CRC32::updateBy(way, 0, range), expected) << from << "+" << length;
            const auto split = static_cast<std::size_t>(length * 7 / 11);
            ASSERT_EQ(CRC32::update(CRC32::update(0, range.first(split)), range.subspan(split)), expected)
                << from << "+" << length << " split at " << split;
        }
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
