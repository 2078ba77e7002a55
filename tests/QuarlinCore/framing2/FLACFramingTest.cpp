#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <random>
#include <sstream>

#include "FLACTools.h"
#include "QuarlinCore/framing/FLACFraming.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using SI = FLACFraming::StreamInfo;

TEST(FLACFraming, CRCsHaveTheirStandardCheckValues) {
    const auto digits = bytesOf("123456789");
    EXPECT_EQ(FLACFraming::crc8(digits, 0, 9), 0xF4);
    EXPECT_EQ(FLACFraming::crc16(digits, 0, 9), 0xFEE8);
    EXPECT_EQ(FLACFraming::crc8(digits, 3, 3), 0);
    EXPECT_EQ(FLACFraming::crc16(digits, 9, 9), 0);
    std::uint16_t running = 0;
    for (int i = 2; i < 7; ++i)
        running = FLACFraming::crc16Update(running, static_cast<std::uint8_t>('1' + i));
    EXPECT_EQ(running, FLACFraming::crc16(digits, 2, 7));
    // Long ranges take another way than short ones: both agree with the byte at a time.
    std::mt19937 random(5);
    std::vector<std::byte> noise(700);
    for (auto& b : noise) b = static_cast<std::byte>(random());
    for (std::int64_t from : {0, 1, 15}) {
        std::uint16_t byByte = 0;
        for (std::int64_t to = from; to <= std::int64_t(noise.size()); ++to) {
            ASSERT_EQ(FLACFraming::crc16(noise, from, to), byByte) << from << ".." << to;
            if (to < std::int64_t(noise.size()))
                byByte = FLACFraming::crc16Update(byByte, std::to_integer<std::uint8_t>(noise[std::size_t(to)]));
        }
    }
    // Ranges that break the caller's contract answer 0 instead of reading outside.
    EXPECT_EQ(FLACFraming::crc8(digits, 5, 12), 0);
    EXPECT_EQ(FLACFraming::crc16(digits, -1, 4), 0);
}

// --- Hand-made streams for the rules a real encoder never exercises --------------------------

std::vector<std::byte> streamInfoBody(std::int64_t maxBlock, std::int64_t maxFrame,
                                      std::int64_t rate, int channels, int bits) {
    std::vector<std::byte> body(34);
    putBE(body, 0, 16, 2);
    putBE(body, 2, static_cast<std::uint64_t>(maxBlock), 2);
    putBE(body, 7, static_cast<std::uint64_t>(maxFrame), 3);
    const std::uint64_t packed = (static_cast<std::uint64_t>(rate) << 44) |
                                 (static_cast<std::uint64_t>(channels - 1) << 41) |
                                 (static_cast<std::uint64_t>(bits - 1) << 36) | 123456;
    putBE(body, 10, packed, 8);
    return body;
}

std::vector<std::byte> metadataBlock(std::uint8_t flagAndType, std::span<const std::byte> body) {
    std::vector<std::byte> block(4);
    block[0] = std::byte{flagAndType};
    putBE(block, 1, body.size(), 3);
    block.insert(block.end(), body.begin(), body.end());
    return block;
}

std::vector<std::byte> withMarker(std::initializer_list<std::vector<std::byte>> blocks) {
    auto out = bytesOf("fLaC");
    for (const auto& block : blocks) out.insert(out.end(), block.begin(), block.end());
    return out;
}

TEST(FLACFraming, StreamInfoFieldsDecodeFromTheirBits) {
    const auto info = FLACFraming::parseStreamInfo(streamInfoBody(4096, 0xABCDEF, 96000, 6, 24));
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (SI{16, 4096, 0, 0xABCDEF, 96000, 6, 24, 123456}));
    EXPECT_FALSE(FLACFraming::parseStreamInfo(streamInfoBody(4096, 0, 0, 2, 16)));
    EXPECT_FALSE(FLACFraming::parseStreamInfo(streamInfoBody(0, 0, 44100, 2, 16)));
    const auto body = streamInfoBody(4096, 0, 44100, 2, 16);
    EXPECT_FALSE(FLACFraming::parseStreamInfo(std::span(body).first(33)));
}

TEST(FLACFraming, MetadataWalkRules) {
    const auto si = streamInfoBody(4096, 0, 44100, 2, 16);
    const std::vector<std::byte> padding(10);
    std::vector<std::byte> tooShort(si.begin(), si.end() - 1);

    std::vector<std::byte> manyBlocks = withMarker({metadataBlock(0x00, si)});
    for (int i = 1; i < 1024; ++i) {
        const auto block = metadataBlock(i == 1023 ? 0x81 : 0x01, {});
        manyBlocks.insert(manyBlocks.end(), block.begin(), block.end());
    }
    std::vector<std::byte> tooMany = manyBlocks;
    tooMany[tooMany.size() - 4] = std::byte{0x01};  // the 1024th block is no longer the last
    const auto extra = metadataBlock(0x81, {});
    tooMany.insert(tooMany.end(), extra.begin(), extra.end());

    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::optional<std::int64_t> audioStart;
    } cases[] = {
        {"last flag on STREAMINFO", withMarker({metadataBlock(0x80, si)}), 42},
        {"padding after", withMarker({metadataBlock(0x00, si), metadataBlock(0x81, padding)}), 56},
        {"too short a file", bytesOf("fLaC\x80"), std::nullopt},
        {"wrong marker",
         [&] {
             auto b = withMarker({metadataBlock(0x80, si)});
             b[0] = std::byte{'F'};
             return b;
         }(),
         std::nullopt},
        {"STREAMINFO of 33 bytes", withMarker({metadataBlock(0x80, tooShort)}), std::nullopt},
        {"first block not STREAMINFO", withMarker({metadataBlock(0x84, si)}), std::nullopt},
        {"type 127 later", withMarker({metadataBlock(0x00, si), metadataBlock(0xFF, padding)}),
         std::nullopt},
        {"block past the end",
         [&] {
             auto b = withMarker({metadataBlock(0x00, si), metadataBlock(0x81, padding)});
             b.pop_back();
             return b;
         }(),
         std::nullopt},
        {"no last block", withMarker({metadataBlock(0x00, si)}), std::nullopt},
        {"1024th block is last", manyBlocks, static_cast<std::int64_t>(manyBlocks.size())},
        {"1025 blocks", tooMany, std::nullopt},
        // A second STREAMINFO after an unusable first one is read 34 bytes on, whatever its
        // declared length; with fewer than 34 bytes left it is refused, not over-read.
        {"late STREAMINFO cut short",
         withMarker({metadataBlock(0x00, streamInfoBody(0, 0, 44100, 2, 16)),
                     metadataBlock(0x80, padding)}),
         std::nullopt},
        {"late STREAMINFO used",
         withMarker({metadataBlock(0x00, streamInfoBody(0, 0, 44100, 2, 16)),
                     metadataBlock(0x00, si), metadataBlock(0x81, padding)}),
         4 + 38 + 38 + 14},
    };
    for (const auto& c : cases) {
        const auto result = FLACFraming::walkMetadataBlocks(c.bytes);
        EXPECT_EQ(result.has_value(), c.audioStart.has_value()) << c.name;
        if (result && c.audioStart) {
            EXPECT_EQ(result->audioStart, *c.audioStart) << c.name;
        }
    }
}

// A frame header with a correct CRC-8 built from its first bytes (sync, codes) and coded number.
std::vector<std::byte> frameHeader(std::vector<std::uint8_t> head) {
    std::vector<std::byte> bytes;
    for (auto b : head) bytes.push_back(std::byte{b});
    bytes.push_back(
        std::byte{FLACFraming::crc8(bytes, 0, static_cast<std::int64_t>(bytes.size()))});
    return bytes;
}

TEST(FLACFraming, FrameHeaderRules) {
    const SI stereo48k{16, 4096, 0, 0, 48000, 2, 16, 0};
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::optional<SI> info;
        std::optional<std::int64_t> byteCount;
    } cases[] = {
        {"plain", frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0x05}), std::nullopt, 6},
        {"block-size code 0", frameHeader({0xFF, 0xF8, 0x09, 0x18, 0x05}), std::nullopt,
         std::nullopt},
        {"reserved sync bit", frameHeader({0xFF, 0xFA, 0xC9, 0x18, 0x05}), std::nullopt,
         std::nullopt},
        {"sample-rate code 15", frameHeader({0xFF, 0xF8, 0xCF, 0x18, 0x05}), std::nullopt,
         std::nullopt},
        {"channel assignment 11", frameHeader({0xFF, 0xF8, 0xC9, 0xB8, 0x05}), std::nullopt,
         std::nullopt},
        {"sample-size code 3", frameHeader({0xFF, 0xF8, 0xC9, 0x16, 0x05}), std::nullopt,
         std::nullopt},
        {"reserved bit of byte 3", frameHeader({0xFF, 0xF8, 0xC9, 0x19, 0x05}), std::nullopt,
         std::nullopt},
        {"coded FE fixed",
         frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0xFE, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81}),
         std::nullopt, std::nullopt},
        {"coded FE variable",
         frameHeader({0xFF, 0xF9, 0xC9, 0x18, 0xFE, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81}),
         std::nullopt, 12},
        {"coded continuation broken", frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0xC2, 0x41}),
         std::nullopt, std::nullopt},
        {"coded lead 10xxxxxx", frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0x85}), std::nullopt,
         std::nullopt},
        {"coded lead FF", frameHeader({0xFF, 0xF9, 0xC9, 0x18, 0xFF, 0x80}), std::nullopt,
         std::nullopt},
        {"8-bit block size and kHz rate", frameHeader({0xFF, 0xF8, 0x6C, 0x18, 0x05, 0x63, 0x30}),
         std::nullopt, 8},
        {"16-bit block size cut off",
         {std::byte{0xFF}, std::byte{0xF8}, std::byte{0x79}, std::byte{0x18}, std::byte{0x05},
          std::byte{0x01}},
         std::nullopt,
         std::nullopt},
        {"mid/side on stereo", frameHeader({0xFF, 0xF8, 0xC0, 0xA8, 0x05}), stereo48k, 6},
        {"three channels on stereo", frameHeader({0xFF, 0xF8, 0xC0, 0x28, 0x05}), stereo48k,
         std::nullopt},
        {"rate from STREAMINFO", frameHeader({0xFF, 0xF8, 0xC0, 0x18, 0x05}), stereo48k, 6},
        {"44100 against 48000", frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0x05}), stereo48k,
         std::nullopt},
        {"48000 matches", frameHeader({0xFF, 0xF8, 0xCA, 0x18, 0x05}), stereo48k, 6},
        {"24 bits against 16", frameHeader({0xFF, 0xF8, 0xCA, 0x1C, 0x05}), stereo48k,
         std::nullopt},
        {"bits from STREAMINFO", frameHeader({0xFF, 0xF8, 0xCA, 0x10, 0x05}), stereo48k, 6},
        {"8192 samples over 4096", frameHeader({0xFF, 0xF8, 0xDA, 0x18, 0x05}), stereo48k,
         std::nullopt},
        {"short last block", frameHeader({0xFF, 0xF8, 0x6A, 0x18, 0x05, 0x09}), stereo48k, 7},
    };
    for (const auto& c : cases) {
        const auto header = FLACFraming::parseFrameHeader(c.bytes, 0, c.info);
        ASSERT_EQ(header.has_value(), c.byteCount.has_value()) << c.name;
        if (header) {
            EXPECT_EQ(header->byteCount, *c.byteCount) << c.name;
        }
    }

    auto badCRC = frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0x05});
    badCRC.back() = static_cast<std::byte>(std::to_integer<unsigned>(badCRC.back()) + 1);
    EXPECT_FALSE(FLACFraming::parseFrameHeader(badCRC, 0, std::nullopt));

    const auto decoded = FLACFraming::parseFrameHeader(
        frameHeader({0xFF, 0xF8, 0x6C, 0xA8, 0xC4, 0x80, 0x63, 0x30}), 0, std::nullopt);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (FLACFraming::FrameHeader{9, 100, 48000, 2, false, 256}));
    const auto bigRate = FLACFraming::parseFrameHeader(
        frameHeader({0xFF, 0xF8, 0x1E, 0x08, 0x05, 0x4E, 0x21}), 0, std::nullopt);
    ASSERT_TRUE(bigRate);
    EXPECT_EQ(bigRate->sampleRate, 200010);
    EXPECT_EQ(bigRate->blockSizeSamples, 192);
    EXPECT_FALSE(FLACFraming::parseFrameHeader(frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0x05}), -1,
                                               std::nullopt));
}

TEST(FLACFraming, FrameWindowAndSuccessorRules) {
    EXPECT_EQ(FLACFraming::maxFrameWindow(std::nullopt), 1048576);
    EXPECT_EQ(FLACFraming::maxFrameWindow(SI{16, 4096, 0, 0, 44100, 2, 16, 0}), 1048576);
    EXPECT_EQ(FLACFraming::maxFrameWindow(SI{16, 4096, 0, 1000, 44100, 2, 16, 0}), 4096);
    EXPECT_EQ(FLACFraming::maxFrameWindow(SI{16, 4096, 0, 10000, 44100, 2, 16, 0}), 10064);
    EXPECT_EQ(FLACFraming::maxFrameWindow(SI{16, 4096, 0, 10000000, 44100, 2, 16, 0}), 8388608);

    const FLACFraming::FrameHeader previous{6, 4096, std::nullopt, 2, false, 7};
    auto candidate = previous;
    candidate.codedNumber = 9;
    EXPECT_TRUE(FLACFraming::isPlausibleSuccessor(candidate, previous));
    candidate.codedNumber = 7;
    EXPECT_FALSE(FLACFraming::isPlausibleSuccessor(candidate, previous));
    candidate.codedNumber = 8;
    candidate.isVariableBlockSize = true;
    EXPECT_FALSE(FLACFraming::isPlausibleSuccessor(candidate, previous));
}

// A frame of `payload` random bytes with a correct footer; `chanceAt`, when given, plants the
// running CRC-16 there so that the footer test also matches inside the frame.
std::vector<std::byte> frame(std::uint8_t number, std::size_t payload,
                             std::optional<std::size_t> chanceAt = {}, std::uint32_t seed = 1) {
    auto bytes = frameHeader({0xFF, 0xF8, 0xC9, 0x18, number});
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < payload; ++i) {
        if (chanceAt && bytes.size() == *chanceAt) {
            const auto crc = FLACFraming::crc16(bytes, 0, static_cast<std::int64_t>(bytes.size()));
            bytes.push_back(static_cast<std::byte>(crc >> 8));
            bytes.push_back(static_cast<std::byte>(crc & 0xFF));
            ++i;
            continue;
        }
        bytes.push_back(static_cast<std::byte>(random() & 0xFF));
    }
    const auto crc = FLACFraming::crc16(bytes, 0, static_cast<std::int64_t>(bytes.size()));
    bytes.push_back(static_cast<std::byte>(crc >> 8));
    bytes.push_back(static_cast<std::byte>(crc & 0xFF));
    return bytes;
}

TEST(FLACFraming, BoundaryScanTakesOnlyPlausibleSuccessorsAndIsolatedFallbacks) {
    const auto header = *FLACFraming::parseFrameHeader(frame(5, 200), 0, std::nullopt);
    const auto scan = [&](std::span<const std::byte> bytes, std::optional<SI> info = std::nullopt) {
        return FLACFraming::scanFrameBoundary(bytes, 0, header, 1 << 20, info);
    };
    const auto first = frame(5, 200, 80);  // a chance footer match inside the frame
    const auto end = static_cast<std::int64_t>(first.size());

    // Followed by frame 6: the chance match is passed over, the real end is exact.
    const auto followed = concat({first, frame(6, 150)});
    auto boundary = scan(followed);
    ASSERT_TRUE(boundary);
    EXPECT_EQ(boundary->end, end);
    ASSERT_TRUE(boundary->next);
    EXPECT_EQ(boundary->next->codedNumber, 6U);

    // Followed by a frame numbered lower: no successor; the last isolated match (the real
    // footer) becomes the fallback end, unless STREAMINFO's maximum frame size bounds it.
    const auto backwards = concat({first, frame(4, 150, std::nullopt, 9)});
    boundary = scan(backwards);
    ASSERT_TRUE(boundary);
    EXPECT_FALSE(boundary->next);
    EXPECT_GE(boundary->end, end);
    boundary =
        scan(std::span(backwards).first(first.size()), SI{16, 4096, 0, end - 2, 44100, 2, 16, 0});
    ASSERT_TRUE(boundary);
    EXPECT_EQ(boundary->end, end);
    boundary =
        scan(std::span(backwards).first(first.size()), SI{16, 4096, 0, 100, 44100, 2, 16, 0});
    ASSERT_TRUE(boundary);
    EXPECT_EQ(boundary->end, 82);  // only the chance match lies inside 100 + 2 bytes

    // Matches at i and i + 1 with nothing after them: only the one at i is a fallback end.
    // Two payload bytes are searched so that the CRC-16 planted at i also makes i + 1 match.
    std::vector<std::byte> twice;
    for (unsigned trial = 0; trial < 65536 && twice.empty(); ++trial) {
        auto bytes = frameHeader({0xFF, 0xF8, 0xC9, 0x18, 0x05});
        bytes.resize(60, std::byte{0x5A});
        bytes.push_back(static_cast<std::byte>(trial >> 8));
        bytes.push_back(static_cast<std::byte>(trial & 0xFF));
        const auto i = static_cast<std::int64_t>(bytes.size());
        const auto atI = FLACFraming::crc16(bytes, 0, i);
        bytes.push_back(static_cast<std::byte>(atI >> 8));
        const auto atNext = FLACFraming::crc16(bytes, 0, i + 1);
        if ((atNext >> 8) != (atI & 0xFF)) continue;
        bytes.push_back(static_cast<std::byte>(atI & 0xFF));
        bytes.push_back(static_cast<std::byte>(atNext & 0xFF));
        twice = bytes;
    }
    ASSERT_FALSE(twice.empty());
    boundary = scan(twice);
    ASSERT_TRUE(boundary);
    EXPECT_EQ(boundary->end, static_cast<std::int64_t>(twice.size()) - 1);

    // No footer anywhere, or too few bytes after the header.
    auto broken = frame(5, 200);
    broken.back() ^= std::byte{0x01};
    EXPECT_FALSE(scan(broken));
    EXPECT_FALSE(scan(std::span(first).first(7)));
}

}  // namespace
}  // namespace quarlin
