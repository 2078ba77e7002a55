#include "QuarlinCore/framing/RAR4Framing.h"
#include "QuarlinCore/framing/RAR5Framing.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <limits>
#include <vector>

namespace quarlin {
namespace {

using Bytes = std::vector<std::byte>;

Bytes bytesOf(std::initializer_list<unsigned> values) {
    Bytes out;
    for (unsigned v : values) out.push_back(static_cast<std::byte>(v));
    return out;
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes vint(std::uint64_t value) {
    Bytes out;
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        if (value) byte |= 0x80;
        out.push_back(static_cast<std::byte>(byte));
    } while (value);
    return out;
}

std::uint32_t zlibCRC(const Bytes& b, std::size_t from, std::size_t to) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(b.data()) + from, to - from));
}

// A RAR 5 block: CRC, header-size vint, then `body` (type, flags and the rest), CRC made by zlib.
Bytes rar5Block(const Bytes& body, bool corruptCRC = false) {
    Bytes out(4);
    append(out, vint(body.size()));
    append(out, body);
    std::uint32_t crc = zlibCRC(out, 4, out.size());
    if (corruptCRC) crc ^= 1;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::byte>(crc >> (8 * i));
    return out;
}

TEST(RAR5Framing, MeasuresWellFormedHeaders) {
    struct Case {
        const char* name;
        Bytes body;
        std::uint64_t total;
        std::uint64_t type;
    };
    Bytes withData = vint(2);
    append(withData, vint(0x2));
    append(withData, vint(100));
    Bytes withExtraAndData = vint(3);
    append(withExtraAndData, vint(0x3));
    append(withExtraAndData, vint(9));  // extra area size: skipped, not added
    append(withExtraAndData, vint(300));
    append(withExtraAndData, bytesOf({0, 0, 0, 0, 0, 0, 0, 0, 0}));
    Bytes unknownType = vint(77);
    append(unknownType, vint(0));
    const Case cases[] = {
        {"minimal main header", bytesOf({1, 0}), 7, 1},
        {"data area beyond the bytes held", withData, 4 + 1 + 3 + 100, 2},
        {"extra area and data size", withExtraAndData, 4 + 1 + 14 + 300, 3},
        {"type outside the known ones", unknownType, 7, 77},
        {"end of archive", bytesOf({5, 0, 0}), 8, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto block = RAR5Framing::parseBlock(rar5Block(c.body), 0);
        ASSERT_TRUE(block);
        EXPECT_EQ(block->totalLength, c.total);
        EXPECT_EQ(block->headerType, c.type);
        EXPECT_TRUE(block->crcMatches);
    }
}

TEST(RAR5Framing, ReportsADamagedCRCWithoutRefusingTheHeader) {
    auto block = RAR5Framing::parseBlock(rar5Block(bytesOf({4, 0}), true), 0);
    ASSERT_TRUE(block);
    EXPECT_FALSE(block->crcMatches);
    EXPECT_TRUE(block->isEncryption());
    EXPECT_FALSE(block->isEndOfArchive());
}

TEST(RAR5Framing, HeaderSizeLimits) {
    EXPECT_FALSE(RAR5Framing::parseBlock(rar5Block(bytesOf({1})), 0)) << "header size 1";

    Bytes largest = bytesOf({1, 0});
    largest.resize(0x200000);
    const auto accepted = RAR5Framing::parseBlock(rar5Block(largest), 0);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->totalLength, 4U + 4U + 0x200000U);  // the size takes a 4-byte vint
    EXPECT_TRUE(accepted->crcMatches);

    Bytes tooLarge = largest;
    tooLarge.push_back(std::byte{0});
    EXPECT_FALSE(RAR5Framing::parseBlock(rar5Block(tooLarge), 0));

    Bytes cut = rar5Block(bytesOf({1, 0, 0, 0}));
    cut.pop_back();  // header end one byte past the buffer
    EXPECT_FALSE(RAR5Framing::parseBlock(cut, 0));
}

TEST(RAR5Framing, FieldsMustEndInsideTheHeader) {
    // Data size whose last byte is the last header byte: accepted.
    Bytes exact = vint(2);
    append(exact, vint(0x2));
    append(exact, vint(200));  // two bytes
    EXPECT_TRUE(RAR5Framing::parseBlock(rar5Block(exact), 0));

    // The same fields in a header one byte shorter: the data size runs one byte past its end.
    Bytes bytes(4);
    append(bytes, vint(3));
    append(bytes, vint(2));
    append(bytes, vint(0x2));
    append(bytes, vint(200));
    EXPECT_FALSE(RAR5Framing::parseBlock(bytes, 0));

    // Flags past the header, extra-area size past the header.
    Bytes flagsOut(4);
    append(flagsOut, vint(2));
    append(flagsOut, bytesOf({1, 0x81, 0x01, 0, 0}));
    EXPECT_FALSE(RAR5Framing::parseBlock(flagsOut, 0));
    Bytes extraOut(4);
    append(extraOut, vint(2));
    append(extraOut, bytesOf({1, 1, 5, 0, 0}));
    EXPECT_FALSE(RAR5Framing::parseBlock(extraOut, 0));
}

TEST(RAR5Framing, VariableLengthIntegerLimits) {
    // Ten-byte data size whose last byte is 01: bit 63 set; total wraps modulo 2^64 and is kept.
    Bytes tenBytes = vint(2);
    append(tenBytes, vint(0x2));
    append(tenBytes, bytesOf({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}));
    const auto block = RAR5Framing::parseBlock(rar5Block(tenBytes), 0);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->totalLength, (std::uint64_t{1} << 63) + 4 + 1 + 12);

    // Ten-byte vint whose last byte has bit 7 set, and one whose 10th byte carries more bits
    // than fit (those are dropped).
    Bytes overlong = vint(2);
    append(overlong, vint(0x2));
    append(overlong, bytesOf({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x00}));
    EXPECT_FALSE(RAR5Framing::parseBlock(rar5Block(overlong), 0));
    Bytes dropped = vint(2);
    append(dropped, vint(0x2));
    append(dropped, bytesOf({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7E}));
    const auto low = RAR5Framing::parseBlock(rar5Block(dropped), 0);
    ASSERT_TRUE(low);
    EXPECT_EQ(low->totalLength, 1U + 4 + 1 + 12);

    // A header-size vint that runs off the end of the buffer.
    EXPECT_FALSE(RAR5Framing::parseBlock(bytesOf({0, 0, 0, 0, 0x80, 0x80, 0x80}), 0));

    // A total of exactly 2^64 wraps to 0 and is refused.
    Bytes zeroTotal = vint(2);
    append(zeroTotal, vint(0x2));
    const std::uint64_t headerSpan = 4 + 1 + 13;
    append(zeroTotal, vint(0 - headerSpan));
    append(zeroTotal, bytesOf({0}));
    ASSERT_EQ(rar5Block(zeroTotal).size(), headerSpan);
    EXPECT_FALSE(RAR5Framing::parseBlock(rar5Block(zeroTotal), 0));
}

TEST(RAR5Framing, OffsetsOutsideTheBytes) {
    const Bytes block = rar5Block(bytesOf({1, 0}));
    for (const std::int64_t at : {std::int64_t{-1}, std::int64_t{1}, std::int64_t{7}, std::int64_t{8},
                                  std::numeric_limits<std::int64_t>::max(),
                                  std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_FALSE(RAR5Framing::parseBlock(block, at)) << at;
    }
    EXPECT_FALSE(RAR5Framing::parseBlock({}, 0));
}

TEST(RAR5Framing, BlockTypeFromRawValue) {
    EXPECT_FALSE(RAR5Framing::blockType(0));
    EXPECT_EQ(RAR5Framing::blockType(1), RAR5Framing::BlockType::main);
    EXPECT_EQ(RAR5Framing::blockType(5), RAR5Framing::BlockType::endOfArchive);
    EXPECT_FALSE(RAR5Framing::blockType(6));
    EXPECT_FALSE(RAR5Framing::blockType(std::numeric_limits<std::uint64_t>::max()));
}

TEST(RAR4Framing, MeasuresHeaders) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::optional<RAR4Framing::Block> expected;
    };
    const Bytes signature(RAR4Framing::signature.begin(), RAR4Framing::signature.end());
    const Case cases[] = {
        {"the signature itself", signature, RAR4Framing::Block{7, 0x72}},
        {"added size flag, 10 bytes", bytesOf({0, 0, 0x74, 0, 0x80, 20, 0, 1, 0, 0}), std::nullopt},
        {"added size flag, 11 bytes", bytesOf({0, 0, 0x74, 0, 0x80, 20, 0, 1, 1, 0, 0}),
         RAR4Framing::Block{20 + 257, 0x74}},
        {"largest added size", bytesOf({0, 0, 0x7A, 0, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         RAR4Framing::Block{0xFFFFULL + 0xFFFFFFFFULL, 0x7A}},
        {"other flag bits ignored", bytesOf({0, 0, 0x7B, 0xFF, 0x7F, 7, 0}), RAR4Framing::Block{7, 0x7B}},
        {"type 0x71", bytesOf({0, 0, 0x71, 0, 0, 7, 0}), std::nullopt},
        {"type 0x7C", bytesOf({0, 0, 0x7C, 0, 0, 7, 0}), std::nullopt},
        {"header size 6", bytesOf({0, 0, 0x73, 0, 0, 6, 0}), std::nullopt},
        {"six bytes", bytesOf({0, 0, 0x73, 0, 0, 7}), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RAR4Framing::parseBlock(c.bytes, 0), c.expected);
    }
    EXPECT_TRUE(RAR4Framing::parseBlock(bytesOf({0, 0, 0x7B, 0, 0, 7, 0}), 0)->isEndOfArchive());
}

TEST(RAR4Framing, OffsetsOutsideTheBytes) {
    const Bytes signature(RAR4Framing::signature.begin(), RAR4Framing::signature.end());
    for (const std::int64_t at : {std::int64_t{-1}, std::int64_t{1}, std::int64_t{7}, std::int64_t{8},
                                  std::numeric_limits<std::int64_t>::max(),
                                  std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_FALSE(RAR4Framing::parseBlock(signature, at)) << at;
    }
}

}  // namespace
}  // namespace quarlin
