#include "QuarlinCore/model/IntegrityVerdict.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DecodingSupport.h"

namespace quarlin {
namespace {

using testing::decoded;
using testing::decodingError;
using testing::orderedText;

TEST(IntegrityVerdict, EveryCaseRoundTripsInItsWrittenForm) {
    const std::pair<IntegrityVerdict, std::string> cases[] = {
        {IntegrityVerdict::looksIntact(), R"({"type":"looksIntact"})"},
        {IntegrityVerdict::mayBePartial("truncated after 3 of 5 frames"),
         R"({"type":"mayBePartial","reason":"truncated after 3 of 5 frames"})"},
        {IntegrityVerdict::mayBePartial(""), R"({"type":"mayBePartial","reason":""})"},
        {IntegrityVerdict::failed("CRC mismatch \"€\""), R"({"type":"failed","reason":"CRC mismatch \"€\""})"},
        {IntegrityVerdict::unknown(), R"({"type":"unknown"})"},
    };
    for (const auto& [verdict, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(orderedText(verdict), text);
        EXPECT_EQ(decoded<IntegrityVerdict>(text), verdict);
        testing::expectRoundTrip(verdict);
    }
}

// Unknown type strings read as unknown and other keys are ignored; a missing or mistyped key
// fails with the JSON layer's message.
TEST(IntegrityVerdict, ReadsWhatItKnowsAndFailsOnWhatItNeeds) {
    const std::pair<const char*, IntegrityVerdict> read[] = {
        {R"({"type":"looksIntact","reason":"ignored"})", IntegrityVerdict::looksIntact()},
        {R"({"type":"LooksIntact"})", IntegrityVerdict::unknown()},
        {R"({"type":"unknown","reason":"ignored"})", IntegrityVerdict::unknown()},
        {R"({"type":"corrupt","reason":7})", IntegrityVerdict::unknown()},
        {R"({"reason":"x","type":"failed","extra":[1]})", IntegrityVerdict::failed("x")},
    };
    for (const auto& [text, verdict] : read) EXPECT_EQ(decoded<IntegrityVerdict>(text), verdict) << text;
    const std::pair<const char*, const char*> refused[] = {
        {"{}", "[json.exception.out_of_range.403] key 'type' not found"},
        {R"({"type":3})", "[json.exception.type_error.302] member 'type' must be a string, not number"},
        {R"({"type":"mayBePartial"})", "[json.exception.out_of_range.403] key 'reason' not found"},
        {R"({"type":"failed","reason":false})",
         "[json.exception.type_error.302] member 'reason' must be a string, not boolean"},
        {R"("looksIntact")", "[json.exception.type_error.302] expected an object, not string"},
    };
    for (const auto& [text, message] : refused) EXPECT_EQ(decodingError<IntegrityVerdict>(text), message) << text;
}

}  // namespace
}  // namespace quarlin
