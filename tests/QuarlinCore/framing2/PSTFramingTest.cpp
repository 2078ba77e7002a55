#include <gtest/gtest.h>

#include "QuarlinCore/framing/PSTFraming.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using Header = OutlookPSTFraming::Header;

// Variants of the two real headers, one field changed at a time.
TEST(OutlookPSTFraming, HeaderFieldRules) {
    const auto ansiFile = readFile(corpus("pst/32-bit.pst"));
    const auto unicodeFile = readFile(corpus("pst/dist-list.pst"));
    const std::vector<std::byte> ansi(ansiFile.begin(), ansiFile.begin() + 192);
    const std::vector<std::byte> unicode(unicodeFile.begin(), unicodeFile.begin() + 192);
    const auto with = [](std::vector<std::byte> header, std::size_t at, std::uint64_t value,
                         int width) {
        putLE(header, at, value, width);
        return header;
    };
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::optional<Header> expected;
    } cases[] = {
        {"Unicode, size 0x10000", with(unicode, 184, 0x10000, 8), Header{true, false, 65536}},
        {"OST, version 36", with(with(unicode, 9, 'O', 1), 10, 36, 2), Header{true, true, 271360}},
        {"version 37", with(unicode, 10, 37, 2), Header{true, false, 271360}},
        {"high half of the 64-bit size", with(unicode, 184, 0x0000000300000200ULL, 8),
         Header{true, false, 0x0000000300000200ULL}},
        {"ANSI size 512", with(ansi, 168, 512, 4), Header{false, false, 512}},
        {"ANSI size 511", with(ansi, 168, 511, 4), std::nullopt},
        {"ANSI version 15, OST", with(with(ansi, 10, 15, 2), 9, 'O', 1),
         Header{false, true, 65536}},
        {"version 14 ignores the Unicode field", with(ansi, 184, 0xFFFFFFFFFFULL, 8),
         Header{false, false, 65536}},
        {"version 16", with(ansi, 10, 16, 2), std::nullopt},
        {"version 22", with(ansi, 10, 22, 2), std::nullopt},
        {"version 38", with(unicode, 10, 38, 2), std::nullopt},
        {"version 0x0117 (above 37)", with(unicode, 10, 0x117, 2), std::nullopt},
        {"platform 1, 2", with(ansi, 15, 2, 1), std::nullopt},
        {"platform 0, 1", with(ansi, 14, 0, 1), std::nullopt},
        {"client magic SX", with(ansi, 9, 'X', 1), std::nullopt},
        {"client magic TM", with(ansi, 8, 'T', 1), std::nullopt},
        {"magic", with(ansi, 3, 'M', 1), std::nullopt},
        {"191 bytes", std::vector<std::byte>(ansi.begin(), ansi.end() - 1), std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OutlookPSTFraming::parseHeader(c.bytes, 0), c.expected) << c.name;
    EXPECT_FALSE(OutlookPSTFraming::parseHeader(ansi, -1));
    EXPECT_FALSE(OutlookPSTFraming::parseHeader(ansi, 1));
}

}  // namespace
}  // namespace quarlin
