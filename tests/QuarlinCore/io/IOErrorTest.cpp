#include "QuarlinCore/io/IOError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace quarlin {
namespace {

struct DescriptionCase {
    const char* name;
    IOError error;
    const char* text;
};

TEST(IOErrorTest, DescribesEveryCaseCharacterForCharacter) {
    constexpr auto u64max = std::numeric_limits<std::uint64_t>::max();
    const DescriptionCase cases[] = {
        {"outOfBounds", IOError::outOfBounds(10, 5, 12), "Block range [10, 15) is outside device extent of 12 blocks."},
        {"outOfBounds at end", IOError::outOfBounds(104, 1, 104),
         "Block range [104, 105) is outside device extent of 104 blocks."},
        {"posixError", IOError::posixError(13, "x"), "POSIX error 13: x"},
        {"posixError pread", IOError::posixError(5, "pread failed at block 7: Input/output error"),
         "POSIX error 5: pread failed at block 7: Input/output error"},
        {"deviceNotFound", IOError::deviceNotFound("/dev/rdisk9"), "Device or image not found at path: /dev/rdisk9"},
        {"writeAccessDetected", IOError::writeAccessDetected("/dev/rdisk2"),
         "Write access was detected on source device '/dev/rdisk2' \xE2\x80\x94 read-only invariant violated."},
        {"general", IOError::general("count must be >= 0."), "count must be >= 0."},
        {"general empty", IOError::general(""), ""},
        // Payloads no reader raises still describe themselves, with the exact sum.
        {"sum past 64 bits", IOError::outOfBounds(u64max, 2, u64max),
         "Block range [18446744073709551615, 18446744073709551617) is outside device extent of "
         "18446744073709551615 blocks."},
        {"negative count", IOError::outOfBounds(0, std::numeric_limits<std::int64_t>::min(), 0),
         "Block range [0, -9223372036854775808) is outside device extent of 0 blocks."},
        {"negative count, positive sum", IOError::outOfBounds(10, -3, 4),
         "Block range [10, 7) is outside device extent of 4 blocks."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorDescription(), c.text) << c.name;
        EXPECT_STREQ(c.error.what(), c.text) << c.name;
    }
}

}  // namespace
}  // namespace quarlin
