#include "QuarlinCore/io/JSONSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace quarlin {
namespace {

using nlohmann::json;

TEST(JSONSupportTest, UnsignedReadersAreExactAndStrict) {
    const json j = json::parse(R"({"max":18446744073709551615,"zero":0,"neg":-1,"frac":1.5,"whole":2.0,
        "big32":4294967296,"max32":4294967295,"text":"7","flag":true,"nil":null})");
    EXPECT_EQ(requiredUInt64(j, "max"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(requiredUInt64(j, "zero"), 0u);
    EXPECT_EQ(optionalUInt32(j, "max32"), 4294967295u);
    EXPECT_EQ(optionalUInt64(j, "absent"), std::nullopt);
    EXPECT_EQ(optionalUInt64(j, "nil"), std::nullopt);
    EXPECT_EQ(optionalUInt64(j, "max"), std::numeric_limits<std::uint64_t>::max());
    for (const char* key : {"neg", "frac", "whole", "text", "flag", "nil", "absent"}) {
        EXPECT_THROW(requiredUInt64(j, key), json::exception) << key;
    }
    for (const char* key : {"neg", "frac", "whole", "text", "flag"}) {
        EXPECT_THROW(optionalUInt64(j, key), json::exception) << key;
    }
    EXPECT_THROW(optionalUInt32(j, "big32"), json::exception);
    EXPECT_THROW(optionalUInt32(j, "max"), json::exception);
}

TEST(JSONSupportTest, SignedReadersAreExactAndStrict) {
    const json j = json::parse(R"({"min":-9223372036854775808,"max":9223372036854775807,
        "over":9223372036854775808,"frac":-0.5,"text":"-1"})");
    EXPECT_EQ(requiredInt64(j, "min"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(requiredInt64(j, "max"), std::numeric_limits<std::int64_t>::max());
    for (const char* key : {"over", "frac", "text", "absent"}) {
        EXPECT_THROW(requiredInt64(j, key), json::exception) << key;
    }
}

TEST(JSONSupportTest, OtherReadersRefuseWrongTypes) {
    const json j = json::parse(R"({"s":"x","b":false,"d":2.5,"i":3,"o":{},"a":[],"n":null,
        "u":"0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"})");
    EXPECT_EQ(requiredString(j, "s"), "x");
    EXPECT_EQ(optionalString(j, "n"), std::nullopt);
    EXPECT_FALSE(requiredBool(j, "b"));
    EXPECT_TRUE(requiredObject(j, "o").is_object());
    EXPECT_TRUE(requiredArray(j, "a").is_array());
    EXPECT_EQ(requiredUUID(j, "u").uuidString(), "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
    EXPECT_THROW(requiredString(j, "i"), json::exception);
    EXPECT_THROW(requiredBool(j, "s"), json::exception);
    EXPECT_THROW(requiredObject(j, "a"), json::exception);
    EXPECT_THROW(requiredArray(j, "o"), json::exception);
    EXPECT_THROW(requiredUUID(j, "s"), json::exception);
    EXPECT_THROW(optionalUUID(j, "i"), json::exception);
    EXPECT_THROW(requiredString(json::array(), "s"), json::exception);
    EXPECT_THROW(throwDecodingError("bad"), json::exception);
}

Data bytesOf(std::string_view text) {
    Data data;
    for (char c : text) data.push_back(static_cast<std::byte>(c));
    return data;
}

TEST(JSONSupportTest, Base64MatchesTheStandardVectorsAndRoundTrips) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
        EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
    }
    Data all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::byte>(255 - i));
    for (std::size_t length = 0; length <= all.size(); length += 37) {
        const Data prefix(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(base64Decode(base64Encode(prefix)), prefix) << length;
    }
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
    for (const char* bad : {"Zg=", "Zg", "Z===", "Zg=a", "Zm9v!A==", "Zm=v", "=Zm9", "Zg==Zg==", "Zm9 "}) {
        EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
    }
}

TEST(JSONSupportTest, RFC3339RoundTripsAndReadsOffsets) {
    using namespace std::chrono;
    const sys_time<nanoseconds> base = sys_days{2026y / December / 6} + 18h + 34min + 46s;
    const Timestamp cases[] = {
        base, base + 123ms, base + 123456789ns, base + 1ns, Timestamp{}, sys_time<nanoseconds>{} - 1ns,
        sys_days{2000y / February / 29} + 23h + 59min + 59s + 999999999ns,
        // The ends of the years 1 to 9999, and dates no nanosecond count since 1970 can hold.
        *Timestamp::make(Timestamp::kEarliestSeconds, 0), *Timestamp::make(Timestamp::kLatestSeconds, 999999999),
        *Timestamp::make(sys_days{1601y / January / 1}, 7ns), *Timestamp::make(sys_days{2446y / May / 10}, 1s),
    };
    for (const auto& time : cases) {
        const std::string text = rfc3339(time);
        EXPECT_EQ(text.back(), 'Z') << text;
        EXPECT_EQ(parseRFC3339(text), time) << text;
    }
    EXPECT_EQ(rfc3339(base + 123ms), "2026-12-06T18:34:46.123Z");
    EXPECT_EQ(rfc3339(base), "2026-12-06T18:34:46.000Z");
    EXPECT_EQ(rfc3339(*Timestamp::make(Timestamp::kEarliestSeconds, 0)), "0001-01-01T00:00:00.000Z");
    EXPECT_EQ(rfc3339(*Timestamp::make(Timestamp::kLatestSeconds, 999999999)), "9999-12-31T23:59:59.999999999Z");
    EXPECT_EQ(parseRFC3339("2026-12-06T19:34:46.5+01:00"), base + 500ms);
    EXPECT_EQ(parseRFC3339("2026-12-06T17:04:46-01:30"), base);
    EXPECT_EQ(parseRFC3339("2026-12-06t18:34:46z"), base);
    for (const char* bad : {"2026-02-30T00:00:00Z", "2026-12-06T18:34:46", "2026-12-06 18:34:46Z",
                            "2026-12-06T24:00:00Z", "2026-12-06T18:34:46.Z", "2026-12-06T18:34:46.1234567890Z",
                            "2026-12-06T18:34:46+0100", "2026-12-06T18:34:46ZZ", "26-12-06T18:34:46Z", "",
                            "0000-12-31T23:59:59Z", "0001-01-01T00:00:00+00:01", "9999-12-31T23:59:59-00:01",
                            "9999-12-31T23:59:60Z"}) {
        EXPECT_EQ(parseRFC3339(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(Timestamp::make(Timestamp::kEarliestSeconds - 1, 0), std::nullopt);
    EXPECT_EQ(Timestamp::make(0, 1000000000), std::nullopt);
    EXPECT_EQ(Timestamp::make(sys_seconds{seconds{std::numeric_limits<std::int64_t>::max()}}, 1s), std::nullopt);
}

TEST(JSONSupportTest, ValidUTF8ReplacesEachBadSequenceOnce) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"plain \u00E9\u4E2D\U0001F600", "plain \u00E9\u4E2D\U0001F600"},
        {"\xFF", "\uFFFD"},
        {"a\xC3", "a\uFFFD"},                    // cut at the end
        {"\xE2\x82x", "\uFFFDx"},                // a cut sequence is one replacement
        {"\xC0\xAF", "\uFFFD\uFFFD"},            // overlong
        {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // surrogate
        {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
        {"\x80\x80", "\uFFFD\uFFFD"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(validUTF8(in), out) << testing::PrintToString(std::string(in));
        // Agrees with the JSON writer's own replacement.
        EXPECT_EQ(validUTF8(in), json::parse(json(std::string(in)).dump(-1, ' ', false, json::error_handler_t::replace))
                                     .get<std::string>());
    }
}

}  // namespace
}  // namespace quarlin
