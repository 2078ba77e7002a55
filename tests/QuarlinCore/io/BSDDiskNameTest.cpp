#include "QuarlinCore/io/BSDDiskName.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quarlin {
namespace {

TEST(BSDDiskNameTest, ReducesNamesAndPathsToTheirWholeDisk) {
    struct Case {
        const char* input;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"/dev/rdisk4s2", "disk4"},
        {"disk12", "disk12"},
        {"rdisk0", "disk0"},
        {"disk3s1s1", "disk3"},
        {"/dev/disk7", "disk7"},
        {"disk007x", "disk007"},
        {"/dev/rdisk10s3", "disk10"},
        {"disk", std::nullopt},
        {"diskette", std::nullopt},
        {"/dev/sda1", std::nullopt},
        {"dev/disk1", std::nullopt},
        {"RDISK1", std::nullopt},
        {"/dev/rrdisk1", std::nullopt},
        {"", std::nullopt},
        // Other scripts' digits and other numeric characters count.
        {"disk\u0663", "disk\u0663"},                   // ARABIC-INDIC DIGIT THREE
        {"/dev/rdisk\u096A\u0967s2", "disk\u096A\u0967"},  // Devanagari four, one
        {"disk\uFF13", "disk\uFF13"},                   // FULLWIDTH DIGIT THREE
        {"disk\u216Bs1", "disk\u216B"},                 // ROMAN NUMERAL TWELVE (numeric)
        {"disk1\u00BD", "disk1\u00BD"},                 // VULGAR FRACTION ONE HALF
        // Whole characters: a combining mark joins the character before it.
        {"dis\u006B\u0301" "1", std::nullopt},
        {"/dev\u0301/disk1", std::nullopt},
        // Letters that merely look like digits are not numbers.
        {"diskO", std::nullopt},
        // Bytes that are not UTF-8 never match as digits and never crash.
        {"disk\xFF", std::nullopt},
        {"disk1\xFF", "disk1"},
        {"\xC3", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BSDDiskName::wholeDisk(c.input), c.expected) << c.input;
    }
}

TEST(BSDDiskNameTest, DigitWithCombiningMarkIsOneCharacterOfTheRun) {
    // "1" followed by U+20E3 COMBINING ENCLOSING KEYCAP is one character whose first scalar is
    // a digit: it belongs to the run as a whole.
    EXPECT_EQ(BSDDiskName::wholeDisk("disk1\u20E3s2"), std::optional<std::string>("disk1\u20E3"));
}

}  // namespace
}  // namespace quarlin
