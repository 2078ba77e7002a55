#include <gtest/gtest.h>

#include "QuarlinCore/framing/EBMLFraming.h"
#include "ToolFiles.h"

namespace quarlin {
namespace {

using namespace testsupport;
using Element = EBMLFraming::Element;

std::vector<std::byte> hex(std::initializer_list<unsigned> values) {
    std::vector<std::byte> bytes;
    for (auto v : values) bytes.push_back(static_cast<std::byte>(v));
    return bytes;
}

TEST(EBMLFraming, ElementHeaders) {
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::optional<Element> expected;
    } cases[] = {
        {"EBML header", hex({0x1A, 0x45, 0xDF, 0xA3, 0x9F}), Element{0x1A45DFA3, 5, 31}},
        {"Segment, unknown size",
         hex({0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         Element{0x18538067, 12, std::nullopt}},
        {"Segment, largest size",
         hex({0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}),
         Element{0x18538067, 12, 0x00FFFFFFFFFFFFFEULL}},
        {"eight 0xFF size bytes after 0x01",
         hex({0xEC, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         Element{0xEC, 9, std::nullopt}},
        {"one-byte unknown size", hex({0xEC, 0xFF}), Element{0xEC, 2, std::nullopt}},
        {"one-byte size 126", hex({0xEC, 0xFE}), Element{0xEC, 2, 126}},
        {"two-byte unknown size", hex({0xEC, 0x7F, 0xFF}), Element{0xEC, 3, std::nullopt}},
        {"two-byte size, not unknown", hex({0xEC, 0x7F, 0xFE}), Element{0xEC, 3, 0x3FFE}},
        {"high bits unknown, low byte not", hex({0xEC, 0x3F, 0xFF, 0x00}),
         Element{0xEC, 4, 0x1FFF00}},
        {"two-byte ID", hex({0x42, 0x82, 0x84}), Element{0x4282, 3, 4}},
        {"three-byte ID", hex({0x2A, 0xD7, 0xB1, 0x83}), Element{0x2AD7B1, 4, 3}},
        {"ID byte 0x0F", hex({0x0F, 0x81}), std::nullopt},
        {"size byte 0x00", hex({0xEC, 0x00, 0x01}), std::nullopt},
        {"ID cut off", hex({0x1A, 0x45, 0xDF}), std::nullopt},
        {"size missing", hex({0x1A, 0x45, 0xDF, 0xA3}), std::nullopt},
        {"size cut off", hex({0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF}), std::nullopt},
        {"data beyond the bytes", hex({0xEC, 0x90}), Element{0xEC, 2, 16}},
        {"empty", {}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EBMLFraming::parseElement(c.bytes, 0), c.expected) << c.name;
    const auto two = hex({0xEC, 0x80});
    EXPECT_FALSE(EBMLFraming::parseElement(two, -1));
    EXPECT_FALSE(EBMLFraming::parseElement(two, 2));
    EXPECT_EQ(EBMLFraming::parseElement(two, 1), std::nullopt);  // 0x80 as an ID lacks its size
}

std::vector<std::byte> child(std::vector<unsigned> idAndSize, std::string_view data) {
    std::vector<std::byte> bytes;
    for (auto v : idAndSize) bytes.push_back(static_cast<std::byte>(v));
    for (char ch : data) bytes.push_back(static_cast<std::byte>(ch));
    return bytes;
}

std::vector<std::byte> join(std::vector<std::vector<std::byte>> parts) {
    std::vector<std::byte> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(EBMLFraming, DocTypeSearch) {
    const auto version = child({0x42, 0x86, 0x81}, "\x01");
    const auto docType = child({0x42, 0x82, 0x88}, "matroska");
    std::vector<std::vector<std::byte>> sixtyThree(63, version);
    std::vector<std::vector<std::byte>> sixtyFour(64, version);
    sixtyThree.push_back(docType);
    sixtyFour.push_back(docType);
    struct Case {
        const char* name;
        std::vector<std::byte> payload;
        std::optional<std::string> expected;
    } cases[] = {
        {"after a version", join({version, docType}), "matroska"},
        {"padded with a zero", join({child({0x42, 0x82, 0x86}, std::string_view("webm\0\0", 6))}),
         "webm"},
        {"empty", join({child({0x42, 0x82, 0x80}, "")}), std::nullopt},
        {"starts with zero", join({child({0x42, 0x82, 0x82}, std::string_view("\0x", 2))}),
         std::nullopt},
        {"not ASCII", join({child({0x42, 0x82, 0x82}, "\xC3\xA9")}), std::nullopt},
        {"63 children before", join(sixtyThree), "matroska"},
        {"64 children before", join(sixtyFour), std::nullopt},
        {"unknown size first", join({child({0x42, 0x86, 0xFF}, "\x01"), docType}), std::nullopt},
        {"child past the payload", join({child({0x42, 0x86, 0x85}, "\x01"), docType}),
         std::nullopt},
        {"size over the whole payload",
         join({child({0x42, 0x86, 0x01, 0, 0, 0, 0, 0, 0, 0x40}, ""), docType}), std::nullopt},
        {"malformed child", join({child({0x01, 0x81}, "\x01"), docType}), std::nullopt},
        {"no DocType", join({version, version}), std::nullopt},
        {"nothing", {}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(EBMLFraming::docType(c.payload), c.expected) << c.name;
}

}  // namespace
}  // namespace quarlin
