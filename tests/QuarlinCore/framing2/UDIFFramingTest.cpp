#include <gtest/gtest.h>

#include "QuarlinCore/framing/UDIFFraming.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using Trailer = UDIFFraming::Trailer;

TEST(UDIFFraming, CorpusTrailersGiveTheImageLength) {
    const auto entries = corpusEntries("udif");
    ASSERT_EQ(entries.size(), 3U);
    for (const auto& entry : entries) {
        const auto file = readFile(corpus(entry.file));
        const auto trailer = UDIFFraming::parseTrailer(file, entry.at);
        ASSERT_TRUE(trailer) << entry.file;
        EXPECT_EQ(trailer->expectedFileLength(), std::uint64_t(entry.length)) << entry.file;
        EXPECT_EQ(trailer->lastSectionEnd(), std::uint64_t(entry.length - 512)) << entry.file;
        // Unrelated bytes around the image move the trailer but not the image's length.
        const auto inside = embed(file, 4096, 1000);
        const auto moved = UDIFFraming::parseTrailer(inside, entry.at + 4096);
        EXPECT_EQ(moved, trailer) << entry.file;
        EXPECT_FALSE(UDIFFraming::parseTrailer(inside, entry.at + 4095));
        // At the very end of the buffer it parses; one byte less and it does not.
        EXPECT_FALSE(UDIFFraming::parseTrailer(std::span(file).first(file.size() - 1), entry.at))
            << entry.file;
    }
}

std::vector<std::byte> realTrailer() {
    const auto file = readFile(corpus("udif/gpt.dmg"));
    return {file.end() - 512, file.end()};
}

std::vector<std::byte> with(std::vector<std::byte> trailer, std::size_t at, std::uint64_t value,
                            int width = 8) {
    putBE(trailer, at, value, width);
    return trailer;
}

TEST(UDIFFraming, PlausibilityLimits) {
    const auto real = realTrailer();
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        bool accepted;
    } cases[] = {
        {"real", real, true},
        {"version 3", with(real, 4, 3, 4), false},
        {"header size 511", with(real, 8, 511, 4), false},
        {"magic", with(real, 0, 0x6B6F6C7A, 4), false},
        {"no XML", with(real, 224, 0), false},
        {"XML 512 MiB", with(real, 224, 0x20000000), true},
        {"XML over 512 MiB", with(real, 224, 0x20000001), false},
        {"data fork 16 GiB", with(real, 32, 0x400000000), true},
        {"data fork over 16 GiB", with(real, 32, 0x400000001), false},
        {"resource fork 16 GiB", with(real, 48, 0x400000000), true},
        {"resource fork over 16 GiB", with(real, 48, 0x400000001), false},
        {"signature 512 MiB", with(real, 240, 0x20000000), true},
        {"signature over 512 MiB", with(real, 240, 0x20000001), false},
        {"offsets unchecked", with(real, 216, 0xFFFFFFFFFFFFFFF0ULL), true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UDIFFraming::parseTrailer(c.bytes, 0).has_value(), c.accepted) << c.name;
    EXPECT_FALSE(UDIFFraming::parseTrailer(real, -1));
}

TEST(UDIFFraming, ImageLengthComesFromTheLastNonEmptySection) {
    struct Case {
        const char* name;
        Trailer trailer;
        std::optional<std::uint64_t> lastEnd;
    } cases[] = {
        {"empty resource fork at a larger offset", Trailer{0, 100, 500, 0, 100, 20, 0, 0}, 120},
        {"XML beyond every fork", Trailer{0, 100, 100, 50, 900, 30, 0, 0}, 930},
        {"resource fork last", Trailer{0, 100, 100, 850, 900, 30, 0, 0}, 950},
        {"code signature last", Trailer{0, 100, 0, 0, 100, 20, 4000, 9}, 4009},
        {"empty code signature", Trailer{0, 100, 0, 0, 100, 20, 4000, 0}, 120},
        {"no XML section", Trailer{0, 100, 0, 0, 100, 0, 0, 0}, std::nullopt},
        {"sums wrap", Trailer{0, 0, 0, 0, 0xFFFFFFFFFFFFFFFFULL, 2, 0, 0}, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.trailer.lastSectionEnd(), c.lastEnd) << c.name;
        if (c.lastEnd) {
            EXPECT_EQ(c.trailer.expectedFileLength(), *c.lastEnd + 512) << c.name;
        } else {
            EXPECT_FALSE(c.trailer.expectedFileLength()) << c.name;
        }
    }
}

TEST(UDIFFraming, FieldsAreReadFromTheirPositions) {
    auto bytes = realTrailer();
    const std::size_t positions[] = {24, 32, 40, 48, 216, 224, 232, 240};
    for (std::size_t i = 0; i < 8; ++i) putBE(bytes, positions[i], 0x1000 + i, 8);
    EXPECT_EQ(UDIFFraming::parseTrailer(bytes, 0),
              (Trailer{0x1000, 0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007}));
}

}  // namespace
}  // namespace quarlin
