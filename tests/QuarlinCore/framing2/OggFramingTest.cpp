#include <gtest/gtest.h>

#include <algorithm>

#include "QuarlinCore/framing/OggFraming.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using Walk = OggPageFraming::WalkResult;

std::vector<std::byte> payloadOf(std::size_t length) {
    std::vector<std::byte> payload(length);
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::byte>(i * 7 + 3);
    return payload;
}

TEST(OggPageFraming, MadePagesCarryTheirLacingAndAValidCRC) {
    struct Case {
        std::size_t payload;
        std::vector<int> lacing;
    } cases[] = {
        {0, {0}},
        {1, {1}},
        {254, {254}},
        {255, {255, 0}},
        {600, {255, 255, 90}},
        {510, {255, 255, 0}},
    };
    for (const auto& c : cases) {
        const auto page = OggPageFraming::makePage(0x02, 0x1122334455667788ULL, 0xCAFEBABE, 9,
                                                   payloadOf(c.payload));
        ASSERT_TRUE(page) << c.payload;
        const auto header = OggPageFraming::parsePageHeader(*page, 0);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->segmentCount, std::int64_t(c.lacing.size())) << c.payload;
        for (std::size_t i = 0; i < c.lacing.size(); ++i)
            EXPECT_EQ(std::to_integer<int>((*page)[27 + i]), c.lacing[i]) << c.payload;
        EXPECT_EQ(std::int64_t(page->size()), 27 + std::int64_t(c.lacing.size() + c.payload));
        EXPECT_TRUE(OggPageFraming::hasValidCRC(*page));
        EXPECT_EQ(OggPageFraming::walkPages(*page),
                  (Walk{std::int64_t(page->size()), 1, true, false}));
    }
    const auto largest = OggPageFraming::makePage(0, 0, 1, 0, payloadOf(65024));
    ASSERT_TRUE(largest);
    EXPECT_EQ(std::to_integer<int>((*largest)[26]), 255);
    EXPECT_EQ(OggPageFraming::walkPages(*largest).pageCount, 1);
    // One byte more would need a 256th lacing value: refused rather than malformed.
    EXPECT_FALSE(OggPageFraming::makePage(0, 0, 1, 0, payloadOf(65025)));
}

TEST(OggPageFraming, WalkStopsAtTheFirstPageThatIsNotIntact) {
    const auto first = *OggPageFraming::makePage(0x02, 0, 5, 0, payloadOf(100));
    const auto eos = *OggPageFraming::makePage(0x04, 960, 5, 1, payloadOf(300));
    const auto after = *OggPageFraming::makePage(0x00, 1920, 5, 2, payloadOf(40));
    const auto join = [](std::initializer_list<std::vector<std::byte>> parts) {
        std::vector<std::byte> out;
        for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
        return out;
    };
    const auto n1 = std::int64_t(first.size());
    const auto n2 = std::int64_t(eos.size());
    const auto mutate = [](std::vector<std::byte> bytes, std::size_t at, std::byte value) {
        bytes[at] = value;
        return bytes;
    };
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        Walk expected;
    } cases[] = {
        {"empty", {}, Walk{}},
        {"one empty BOS page", *OggPageFraming::makePage(0x02, 0, 1, 0, {}),
         Walk{28, 1, true, false}},
        {"EOS then garbage", join({first, eos, std::vector<std::byte>(10, std::byte{0xAB})}),
         Walk{n1 + n2, 2, true, true}},
        {"page after EOS", join({first, eos, after}),
         Walk{n1 + n2 + std::int64_t(after.size()), 3, true, true}},
        {"first page not BOS", join({after, first}),
         Walk{std::int64_t(after.size()) + n1, 2, false, false}},
        {"flipped payload byte", join({first, mutate(eos, eos.size() - 5, std::byte{0})}),
         Walk{n1, 1, true, false}},
        {"version 1", join({first, mutate(eos, 4, std::byte{1})}), Walk{n1, 1, true, false}},
        {"capture pattern", join({first, mutate(eos, 2, std::byte{'G'})}),
         Walk{n1, 1, true, false}},
        {"cut by one byte",
         [&] {
             auto b = join({first, eos});
             b.pop_back();
             return b;
         }(),
         Walk{n1, 1, true, false}},
        {"lacing table cut", std::vector<std::byte>(first.begin(), first.begin() + 27), Walk{}},
    };
    for (const auto& c : cases) EXPECT_EQ(OggPageFraming::walkPages(c.bytes), c.expected) << c.name;

    EXPECT_FALSE(OggPageFraming::parsePageHeader(first, -1));
    EXPECT_FALSE(OggPageFraming::pageLength(std::span(first).first(27), 0));
    EXPECT_EQ(OggPageFraming::pageLength(std::span(first).first(28), 0),
              n1);  // payload need not be there
    const auto two = join({first, after});
    EXPECT_FALSE(OggPageFraming::hasValidCRC(std::span(two).first(first.size() + 1)));
    EXPECT_TRUE(OggPageFraming::hasValidCRC(std::span(two).first(first.size())));
}

}  // namespace
}  // namespace quarlin
