#include <gtest/gtest.h>
#include <zlib.h>

#include <limits>
#include <vector>

#include "QuarlinCore/framing/RAR4Framing.h"
#include "QuarlinCore/framing/RAR5Framing.h"

namespace quarlin {
namespace {

using Bytes = std::vector<std::byte>;

// Bytes written as hexadecimal pairs: "01 0a ff".
Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3)
        out.push_back(static_cast<std::byte>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

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

// A RAR 5 block: CRC, header-size vint, then `body` (type, flags and the rest), CRC made by zlib.
Bytes rar5Block(const Bytes& body, bool corruptCRC = false) {
    Bytes out(4);
    const Bytes size = vint(body.size());
    out.insert(out.end(), size.begin(), size.end());
    out.insert(out.end(), body.begin(), body.end());
    auto crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(out.data()) + 4,
                                                static_cast<uInt>(out.size() - 4)));
    if (corruptCRC) crc ^= 1;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::byte>(crc >> (8 * i));
    return out;
}

constexpr std::uint64_t kBit63 = std::uint64_t{1} << 63;

TEST(RAR5Framing, HeadersWithTheirCRC) {
    struct Case {
        const char* name;
        std::string body;  // after the header-size field
        std::optional<std::uint64_t> total;
        std::uint64_t type;
    };
    const Case cases[] = {
        {"minimal main header", "01 00", 7, 1},
        {"data area beyond the bytes held", "02 02 64", 4 + 1 + 3 + 100, 2},
        {"extra area skipped, data added", "03 03 09 ac 02 00 00 00 00 00 00 00 00 00",
         4 + 1 + 14 + 300, 3},
        {"type outside the known ones", "4d 00", 7, 77},
        {"end of archive", "05 00 00", 8, 5},
        {"data size ending on the last header byte", "02 02 c8 01", 4 + 1 + 4 + 200, 2},
        {"10-byte data size setting bit 63", "02 02 80 80 80 80 80 80 80 80 80 01", kBit63 + 17, 2},
        {"10th vint byte: bits above 64 dropped", "02 02 81 80 80 80 80 80 80 80 80 7e", 1 + 17, 2},
        {"10th vint byte with bit 7", "02 02 80 80 80 80 80 80 80 80 80 81 00", std::nullopt, 0},
        {"header size 1", "01", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto block = RAR5Framing::parseBlock(rar5Block(hex(c.body)), 0);
        ASSERT_EQ(block.has_value(), c.total.has_value());
        if (!block) continue;
        EXPECT_EQ(block->totalLength, *c.total);
        EXPECT_EQ(block->headerType, c.type);
        EXPECT_TRUE(block->crcMatches);
    }

    const auto damaged = RAR5Framing::parseBlock(rar5Block(hex("04 00"), true), 0);
    ASSERT_TRUE(damaged);
    EXPECT_FALSE(damaged->crcMatches);
    EXPECT_TRUE(damaged->isEncryption());
    EXPECT_FALSE(damaged->isEndOfArchive());
}

TEST(RAR5Framing, FieldsThatLeaveTheHeaderOrTheBytes) {
    const std::pair<const char*, std::string> cases[] = {
        {"data size one byte past the header", "00 00 00 00 03 02 02 c8 01"},
        {"flags past the header", "00 00 00 00 02 01 81 01 00 00"},
        {"extra-area size past the header", "00 00 00 00 02 01 01 05 00 00"},
        {"header-size vint off the end", "00 00 00 00 80 80 80"},
        {"header end past the bytes", "00 00 00 00 04 01 00 00"},
    };
    for (const auto& [name, bytes] : cases)
        EXPECT_FALSE(RAR5Framing::parseBlock(hex(bytes), 0)) << name;

    // A total of exactly 2^64 wraps to 0 and is refused.
    Bytes zeroTotal = hex("02 02");
    const Bytes dataSize = vint(0 - std::uint64_t{4 + 1 + 13});
    zeroTotal.insert(zeroTotal.end(), dataSize.begin(), dataSize.end());
    zeroTotal.push_back(std::byte{0});
    ASSERT_EQ(rar5Block(zeroTotal).size(), 18U);
    EXPECT_FALSE(RAR5Framing::parseBlock(rar5Block(zeroTotal), 0));
}

TEST(RAR5Framing, HeaderSizeLimits) {
    Bytes largest = hex("01 00");
    largest.resize(0x200000);
    const auto accepted = RAR5Framing::parseBlock(rar5Block(largest), 0);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->totalLength, 4U + 4U + 0x200000U);  // the size takes a 4-byte vint
    EXPECT_TRUE(accepted->crcMatches);

    Bytes tooLarge = largest;
    tooLarge.push_back(std::byte{0});
    EXPECT_FALSE(RAR5Framing::parseBlock(rar5Block(tooLarge), 0));
}

TEST(RARFraming, OffsetsOutsideTheBytes) {
    const Bytes block5 = rar5Block(hex("01 00"));
    const Bytes block4(RAR4Framing::signature.begin(), RAR4Framing::signature.end());
    for (const std::int64_t at :
         {std::int64_t{-1}, std::int64_t{1}, std::int64_t{7}, std::int64_t{8},
          std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}) {
        EXPECT_FALSE(RAR5Framing::parseBlock(block5, at)) << at;
        EXPECT_FALSE(RAR4Framing::parseBlock(block4, at)) << at;
    }
    EXPECT_FALSE(RAR5Framing::parseBlock({}, 0));
    EXPECT_FALSE(RAR4Framing::parseBlock({}, 0));
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
        {"added size flag, 10 bytes", hex("00 00 74 00 80 14 00 01 00 00"), std::nullopt},
        {"added size flag, 11 bytes", hex("00 00 74 00 80 14 00 01 01 00 00"),
         RAR4Framing::Block{20 + 257, 0x74}},
        {"largest added size", hex("00 00 7a 00 80 ff ff ff ff ff ff"),
         RAR4Framing::Block{0xFFFFULL + 0xFFFFFFFFULL, 0x7A}},
        {"other flag bits ignored", hex("00 00 7b ff 7f 07 00"), RAR4Framing::Block{7, 0x7B}},
        {"type 0x71", hex("00 00 71 00 00 07 00"), std::nullopt},
        {"type 0x7C", hex("00 00 7c 00 00 07 00"), std::nullopt},
        {"header size 6", hex("00 00 73 00 00 06 00"), std::nullopt},
        {"six bytes", hex("00 00 73 00 00 07"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RAR4Framing::parseBlock(c.bytes, 0), c.expected);
    }
    EXPECT_TRUE(RAR4Framing::parseBlock(hex("00 00 7b 00 00 07 00"), 0)->isEndOfArchive());
}

}  // namespace
}  // namespace quarlin
