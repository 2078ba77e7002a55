#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {
namespace {

std::vector<std::byte> bytesOf(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values) out.push_back(static_cast<std::byte>(v));
    return out;
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(ByteReader, AssemblesIntegersInTheNamedByteOrder) {
    const auto bytes = bytesOf({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    const ByteReader reader(bytes);
    EXPECT_EQ(reader.peekU8(3), 0x04U);
    EXPECT_EQ(reader.peekU16LE(0), 0x0201U);
    EXPECT_EQ(reader.peekU16BE(0), 0x0102U);
    EXPECT_EQ(reader.peekU32LE(0), 0x04030201U);
    EXPECT_EQ(reader.peekU32BE(0), 0x01020304U);
    EXPECT_EQ(reader.peekU32LE(4), 0x08070605U);
    EXPECT_EQ(reader.peekU64LE(0), 0x0807060504030201ULL);

    ByteReader cursor(bytes);
    EXPECT_EQ(cursor.readU16LE(), 0x0201U);
    EXPECT_EQ(cursor.readU16BE(), 0x0304U);
    EXPECT_EQ(cursor.readU32LE(), 0x08070605U);
    EXPECT_EQ(cursor.bytesRemaining(), 0);
    cursor.seek(0);
    EXPECT_EQ(cursor.readU64BE(), 0x0102030405060708ULL);
    cursor.seek(0);
    EXPECT_EQ(cursor.readU32BE(), 0x01020304U);
    EXPECT_EQ(cursor.readU8(), 0x05U);
    EXPECT_EQ(cursor.offset(), 5);
    cursor.seek(0);
    EXPECT_EQ(cursor.readU64LE(), 0x0807060504030201ULL);

    // High bytes must not sign-extend into the bits above them.
    const auto high = bytesOf({0xFF, 0xFE, 0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xF1});
    EXPECT_EQ(ByteReader(high).peekU32BE(0), 0xFFFE8090U);
    EXPECT_EQ(ByteReader(high).peekU64LE(0), 0xF1C0B0A09080FEFFULL);
}

// Every range a parser may ask for: those that fit (empty ones at the end too) are views
// into the buffer; the others are refused with the asked values and the buffer's size.
TEST(ByteReader, GivesViewsOfRangesThatFitAndRefusesEveryOther) {
    const auto bytes = bytesOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    const std::vector<std::byte> empty;
    const struct {
        std::int64_t at, length;
        bool fits;
        std::span<const std::byte> buffer;
    } cases[] = {
        {0, 12, true, bytes}, {12, 0, true, bytes}, {1, 2, true, bytes}, {0, 0, true, empty},
        {0, 1, false, empty}, {12, 1, false, bytes}, {10, 4, false, bytes}, {13, 0, false, bytes},
        {-1, 1, false, bytes}, {-1, 0, false, bytes}, {2, -1, false, bytes}, {8, kMax, false, bytes},
        {kMax, 1, false, bytes}, {kMin, 4, false, bytes}, {0, kMin, false, bytes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.at << "+" << c.length << " of " << c.buffer.size());
        const ByteReader reader(c.buffer);
        try {
            const auto view = reader.peekBytes(c.at, c.length);
            EXPECT_TRUE(c.fits);
            EXPECT_EQ(view.data(), c.buffer.data() + c.at);
            EXPECT_EQ(std::int64_t(view.size()), c.length);
        } catch (const ByteReaderError& e) {
            EXPECT_FALSE(c.fits);
            EXPECT_EQ(e.value(), (ByteReaderError::OutOfBounds{c.at, c.length, std::int64_t(c.buffer.size())}));
        }
    }
}

TEST(ByteReader, FailedOperationsLeaveTheCursorWhereItWas) {
    const auto bytes = bytesOf({1, 2, 3, 4, 5, 6});
    ByteReader reader(bytes);
    reader.seek(2);
    EXPECT_EQ(reader.readU32LE(), 0x06050403U);
    EXPECT_EQ(reader.bytesRemaining(), 0);

    reader.seek(3);
    EXPECT_THROW(reader.readU32LE(), ByteReaderError);
    EXPECT_THROW(reader.readU64BE(), ByteReaderError);
    EXPECT_THROW(reader.readBytes(4), ByteReaderError);
    EXPECT_THROW(reader.readBytes(-1), ByteReaderError);
    EXPECT_EQ(reader.offset(), 3);
    EXPECT_EQ(reader.readBytes(3).size(), 3U);
    EXPECT_EQ(reader.offset(), 6);
    EXPECT_THROW(reader.readU8(), ByteReaderError);
    EXPECT_EQ(reader.offset(), 6);
}

TEST(ByteReader, SeekAcceptsTheEndAndRefusesBeyondIt) {
    const auto bytes = bytesOf({1, 2, 3});
    ByteReader reader(bytes);
    reader.seek(3);
    EXPECT_EQ(reader.bytesRemaining(), 0);
    reader.seek(1);
    for (const std::int64_t target : {std::int64_t{4}, std::int64_t{-1}, kMax, kMin}) {
        try {
            reader.seek(target);
            ADD_FAILURE() << "seek to " << target << " accepted";
        } catch (const ByteReaderError& e) {
            EXPECT_EQ(e.value(), (ByteReaderError::OutOfBounds{target, 0, 3}));
        }
        EXPECT_EQ(reader.offset(), 1);
    }

    const std::vector<std::byte> empty;
    ByteReader none(empty);
    none.seek(0);
    EXPECT_THROW(none.seek(1), ByteReaderError);
}

TEST(ByteReader, UnvalidatedStartOffsetFailsOnFirstAccess) {
    const auto bytes = bytesOf({1, 2});
    ByteReader reader(bytes, 5);
    EXPECT_EQ(reader.bytesRemaining(), -3);
    EXPECT_THROW(reader.readU8(), ByteReaderError);
    EXPECT_EQ(reader.offset(), 5);
    // Far below 0: no overflow (UndefinedBehaviorSanitizer watches), and still no read.
    ByteReader below(bytes, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(below.bytesRemaining(), std::numeric_limits<std::int64_t>::max());
    EXPECT_THROW(below.readU8(), ByteReaderError);
}

TEST(ByteReaderError, DescribesLengthBeforeOffset) {
    const auto error = ByteReaderError::outOfBounds(10, 4, 12);
    EXPECT_STREQ(error.what(),
                 "Read of 4 byte(s) at offset 10 is out of bounds (buffer is 12 bytes).");
    EXPECT_EQ(ByteReaderError::outOfBounds(-1, 0, 0).errorDescription(),
              "Read of 0 byte(s) at offset -1 is out of bounds (buffer is 0 bytes).");
}

}  // namespace
}  // namespace quarlin
