#include "QuarlinCore/model/DataLayout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DecodingSupport.h"
#include "QuarlinCore/io/JSONSupport.h"

namespace quarlin {
namespace {

using testing::decoded;
using testing::decodingError;
using testing::orderedText;

constexpr std::uint64_t kSparse = DataExtent::sparseOffset;

Data allByteValues() {
    Data bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::byte>(i);
    return bytes;
}

TEST(DataLayout, WrittenForm) {
    const std::pair<DataLayout, std::string> cases[] = {
        {DataLayout::resident({}), R"({"type":"resident","residentData":""})"},
        {DataLayout::resident({std::byte{0}, std::byte{1}, std::byte{2}, std::byte{0xFF}}),
         R"({"type":"resident","residentData":"AAEC/w=="})"},
        {DataLayout::extents({}), R"({"type":"extents","extents":[]})"},
        // The sparse marker is written exactly, beyond both the signed range and a double's precision.
        {DataLayout::extents({DataExtent::sparse(4096), {512, 1024}}),
         R"({"type":"extents","extents":[{"volumeByteOffset":18446744073709551615,"byteLength":4096},)"
         R"({"volumeByteOffset":512,"byteLength":1024}]})"},
    };
    for (const auto& [layout, text] : cases) {
        EXPECT_EQ(orderedText(layout), text);
        EXPECT_EQ(decoded<DataLayout>(text), layout);
    }
    for (const auto& layout : {DataLayout::resident(allByteValues()),
                               DataLayout::extents({{4096, 8192}, {kSparse - 1, kSparse}, {0, 0}})})
        testing::expectRoundTrip(layout);
    const auto sparse = decoded<DataLayout>(
        R"({"type":"extents","extents":[{"volumeByteOffset":18446744073709551615,"byteLength":18446744073709551615}]})");
    EXPECT_EQ(sparse, DataLayout::extents({DataExtent::sparse(kSparse)}));
}

TEST(DataLayout, ReadsOnlyTheChosenCasesKey) {
    const std::pair<const char*, DataLayout> cases[] = {
        {R"({"type":"resident","residentData":"TWE=","extents":[{"volumeByteOffset":1,"byteLength":2}]})",
         DataLayout::resident({std::byte{0x4D}, std::byte{0x61}})},
        {R"({"extents":[],"residentData":"not base64!","type":"extents"})", DataLayout::extents({})},
        {R"({"type":"extents","extents":[{"volumeByteOffset":1,"byteLength":2,"flags":"x"}]})",
         DataLayout::extents({{1, 2}})},
    };
    for (const auto& [text, layout] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decoded<DataLayout>(text), layout);
    }
}

TEST(DataLayout, DecodingFailures) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"type":"Resident","residentData":""})", "Unknown DataLayout type 'Resident'."},
        {R"({"residentData":""})", "[json.exception.out_of_range.403] key 'type' not found"},
        {R"({"type":1})", "[json.exception.type_error.302] member 'type' must be a string, not number"},
        {R"({"type":"resident"})", "[json.exception.out_of_range.403] key 'residentData' not found"},
        {R"({"type":"resident","residentData":"TWE"})",
         "[json.exception.other_error.501] member 'residentData' is not valid base64 data"},
        {R"({"type":"extents"})", "[json.exception.out_of_range.403] key 'extents' not found"},
        {R"({"type":"extents","extents":{}})", "[json.exception.type_error.302] member 'extents' must be an array, not object"},
        {R"({"type":"extents","extents":[5]})", "[json.exception.type_error.302] expected an object, not number"},
        {R"({"type":"extents","extents":[{"byteLength":1}]})",
         "[json.exception.out_of_range.403] key 'volumeByteOffset' not found"},
        {R"({"type":"extents","extents":[{"volumeByteOffset":0,"byteLength":-1}]})",
         "[json.exception.out_of_range.406] member 'byteLength' is negative: -1"},
        {R"({"type":"extents","extents":[{"volumeByteOffset":18446744073709551616,"byteLength":1}]})",
         "[json.exception.type_error.302] member 'volumeByteOffset' must be an unsigned integer, not number"},
        // One bad extent fails the whole layout.
        {R"({"type":"extents","extents":[{"volumeByteOffset":0,"byteLength":1},{"volumeByteOffset":0}]})",
         "[json.exception.out_of_range.403] key 'byteLength' not found"},
        {R"(["resident"])", "[json.exception.type_error.302] expected an object, not array"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decodingError<DataLayout>(text), message);
    }
    // The unknown type's error names the key it concerns.
    try {
        (void)decoded<DataLayout>(R"({"type":"Resident"})");
        ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.key(), "type");
    }
}

}  // namespace
}  // namespace quarlin
