#include <gtest/gtest.h>

#include <numeric>

#include "platform/xpc/Wire.h"

namespace quarlin::platform::xpc {
namespace {

Data frame(std::uint32_t length, std::size_t bodyBytes, std::byte fill = std::byte{0xA5}) {
    Data d(kFrameHeaderSize);
    encodeFrameLength(length, std::span<std::byte, kFrameHeaderSize>(d.data(), kFrameHeaderSize));
    d.insert(d.end(), bodyBytes, fill);
    return d;
}

template <class F>
Data packed(F f) {
    msgpack::sbuffer buffer;
    Packer p(buffer);
    f(p);
    auto* b = reinterpret_cast<const std::byte*>(buffer.data());
    return Data(b, b + buffer.size());
}

TEST(FrameDecoderTest, ReassemblesFramesHoweverTheStreamIsCut) {
    Data stream;
    std::vector<Data> bodies;
    for (std::uint32_t n : {0u, 1u, 3u, 4u, 5u, 1000u, kMaxCallFrameSize}) {
        Data f = frame(n, n, static_cast<std::byte>(n & 0xFF));
        stream.insert(stream.end(), f.begin(), f.end());
        bodies.emplace_back(n, static_cast<std::byte>(n & 0xFF));
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{4096},
                              stream.size()}) {
        FrameDecoder decoder(kMaxCallFrameSize);
        std::vector<Data> seen;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            std::span<const std::byte> input(stream.data() + at, std::min(chunk, stream.size() - at));
            while (!input.empty() || false) {
                auto status = decoder.feed(input);
                ASSERT_NE(status, FrameDecoder::Status::tooLarge);
                if (status == FrameDecoder::Status::frame) seen.push_back(decoder.body());
                if (status == FrameDecoder::Status::needMore) break;
            }
        }
        EXPECT_EQ(seen, bodies) << "chunk " << chunk;
        EXPECT_FALSE(decoder.midFrame());
    }
}

TEST(FrameDecoderTest, RefusesLengthsAboveTheLimitBeforeReadingTheBody) {
    for (std::uint32_t length : {kMaxCallFrameSize + 1, 0x80000000u, 0xFFFFFFFFu}) {
        FrameDecoder decoder(kMaxCallFrameSize);
        Data f = frame(length, 0);
        std::span<const std::byte> input(f);
        EXPECT_EQ(decoder.feed(input), FrameDecoder::Status::tooLarge) << length;
    }
    FrameDecoder decoder(kMaxCallFrameSize);
    Data partial = frame(10, 3);
    std::span<const std::byte> input(partial);
    EXPECT_EQ(decoder.feed(input), FrameDecoder::Status::needMore);
    EXPECT_TRUE(decoder.midFrame());
}

TEST(DecodeCallTest, AcceptsOnlyWellFormedCalls) {
    struct Case {
        const char* name;
        Data body;
        bool valid;
    };
    Data good = packed([](Packer& p) {
        p.pack_array(3);
        p.pack_uint64(9);
        pack(p, std::string_view("openSessionWithDevicePath:reply:"));
        pack(p, std::string_view("/dev/rdisk0"));
    });
    Data withTrailingByte = good;
    withTrailingByte.push_back(std::byte{0xC0});
    Data nested = packed([](Packer& p) {
        p.pack_array(3);
        p.pack_uint64(1);
        pack(p, std::string_view("x"));
        for (int i = 0; i < 40; ++i) p.pack_array(1);
        p.pack_nil();
    });
    Data huge = packed([](Packer& p) {
        p.pack_array(3);
        p.pack_uint64(1);
        pack(p, std::string_view("x"));
        p.pack_array(100000);
    });
    const Case cases[] = {
        {"a call", good, true},
        {"no arguments", packed([](Packer& p) { p.pack_array(2); p.pack_uint64(0); pack(p, std::string_view("s")); }), true},
        {"empty body", Data{}, false},
        {"not MessagePack", Data{std::byte{0xC1}}, false},
        {"truncated", Data(good.begin(), good.end() - 2), false},
        {"trailing byte", withTrailingByte, false},
        {"not an array", packed([](Packer& p) { p.pack_uint64(1); }), false},
        {"one element", packed([](Packer& p) { p.pack_array(1); p.pack_uint64(1); }), false},
        {"negative call id", packed([](Packer& p) { p.pack_array(2); p.pack_int64(-1); pack(p, std::string_view("s")); }), false},
        {"selector not text", packed([](Packer& p) { p.pack_array(2); p.pack_uint64(1); p.pack_bin(0); }), false},
        {"call id not a number", packed([](Packer& p) { p.pack_array(2); p.pack_nil(); pack(p, std::string_view("s")); }), false},
        {"nested too deep", nested, false},
        {"array count beyond the body", huge, false},
    };
    for (const auto& c : cases) {
        auto call = decodeCall(c.body);
        EXPECT_EQ(call.has_value(), c.valid) << c.name;
    }
    auto call = decodeCall(good);
    ASSERT_TRUE(call);
    EXPECT_EQ(call->callId, 9u);
    EXPECT_EQ(call->selector, "openSessionWithDevicePath:reply:");
    ASSERT_EQ(call->arguments.size(), 1u);
    EXPECT_EQ(asString(call->arguments[0]), "/dev/rdisk0");
}

TEST(WireValuesTest, IntegersConvertOnlyWithinTheirRange) {
    auto one = [](auto packValue) {
        Data d = packed(packValue);
        return msgpack::unpack(reinterpret_cast<const char*>(d.data()), d.size());
    };
    auto maxSigned = one([](Packer& p) { p.pack_uint64(std::numeric_limits<std::int64_t>::max()); });
    auto aboveSigned = one([](Packer& p) { p.pack_uint64(std::uint64_t{1} << 63); });
    auto minusOne = one([](Packer& p) { p.pack_int64(-1); });
    auto real = one([](Packer& p) { p.pack_double(1.5); });
    auto text = one([](Packer& p) { pack(p, std::string_view("7")); });
    EXPECT_EQ(asInt64(maxSigned.get()), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(asInt64(aboveSigned.get()), std::nullopt);
    EXPECT_EQ(asUInt64(aboveSigned.get()), std::uint64_t{1} << 63);
    EXPECT_EQ(asInt64(minusOne.get()), -1);
    EXPECT_EQ(asUInt64(minusOne.get()), std::nullopt);
    EXPECT_EQ(asInt64(real.get()), std::nullopt);
    EXPECT_EQ(asUInt64(text.get()), std::nullopt);
}

TEST(WireValuesTest, ErrorObjectsAndBytesRoundTripAndOddMapsAreRefused) {
    ErrorObject error{"dev.vembrow.quarlin.helper.error", 6, {{"NSLocalizedDescription", "Range [1, 2) exceeds 1 blocks."}}};
    // A path echoed back need not be UTF-8; it goes out with U+FFFD for its bad bytes.
    ErrorObject echoed{"d", 1, {{"NSLocalizedDescription", "Refusing /dev/r\xFF\xC3"}}};
    Data bytes(300);
    std::iota(reinterpret_cast<unsigned char*>(bytes.data()), reinterpret_cast<unsigned char*>(bytes.data()) + 300, 0);
    Data body = packed([&](Packer& p) {
        p.pack_array(4);
        pack(p, std::optional<Data>(bytes));
        pack(p, std::optional<ErrorObject>(error));
        pack(p, std::optional<ErrorObject>());
        pack(p, echoed);
    });
    auto handle = unpackMessage(body);
    ASSERT_TRUE(handle);
    const auto* items = handle->get().via.array.ptr;
    EXPECT_EQ(asOptionalData(items[0]), std::optional<std::optional<Data>>(bytes));
    EXPECT_EQ(asOptionalErrorObject(items[1]), std::optional<std::optional<ErrorObject>>(error));
    EXPECT_EQ(asOptionalErrorObject(items[2]), std::optional<std::optional<ErrorObject>>(std::optional<ErrorObject>()));
    EXPECT_EQ(asOptionalErrorObject(items[3])->value().userInfo.at("NSLocalizedDescription"),
              "Refusing /dev/r\uFFFD\uFFFD");

    const std::function<void(Packer&)> oddMaps[] = {
        [](Packer& p) { p.pack_map(0); },
        [](Packer& p) { p.pack_map(2); pack(p, std::string_view("domain")); pack(p, std::string_view("d"));
                        pack(p, std::string_view("code")); p.pack_int64(1); },
        [](Packer& p) { p.pack_map(3); pack(p, std::string_view("domain")); p.pack_int64(1);
                        pack(p, std::string_view("code")); p.pack_int64(1);
                        pack(p, std::string_view("userInfo")); p.pack_map(0); },
        [](Packer& p) { p.pack_map(4); pack(p, std::string_view("domain")); pack(p, std::string_view("d"));
                        pack(p, std::string_view("code")); p.pack_int64(1);
                        pack(p, std::string_view("userInfo")); p.pack_map(0);
                        pack(p, std::string_view("extra")); p.pack_nil(); },
        [](Packer& p) { pack(p, std::string_view("error")); },
    };
    for (const auto& f : oddMaps) {
        Data d = packed(f);
        auto h = unpackMessage(d);
        ASSERT_TRUE(h);
        EXPECT_FALSE(asOptionalErrorObject(h->get()).has_value());
    }
}

}  // namespace
}  // namespace quarlin::platform::xpc
