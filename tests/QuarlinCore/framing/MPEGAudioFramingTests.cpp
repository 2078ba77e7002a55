#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "QuarlinCore/framing/MPEGAudioFraming.h"

namespace quarlin {
namespace {

// Layer I and the refusals here; the other versions and layers are measured in real encoders' files.
TEST(MPEGAudioFraming, FrameLengthsOfEveryVersionAndLayer) {
    struct Case {
        const char* name;
        std::uint8_t b1, b2;
        std::optional<std::int64_t> length;
    };
    const Case cases[] = {
        {"MPEG-1 III 128k 44.1k", 0xFB, 0x90, 417},
        {"MPEG-1 III 128k 44.1k padded", 0xFB, 0x92, 418},
        {"MPEG-1 III 320k 48k, protection bit clear", 0xFA, 0xE4, 960},
        {"MPEG-2 III 8k 16k padded", 0xF3, 0x1A, 37},
        {"MPEG-1 II 160k 44.1k", 0xFD, 0x90, 522},
        {"MPEG-1 I 288k 44.1k", 0xFF, 0x90, 312},
        {"MPEG-1 I 288k 44.1k padded", 0xFF, 0x92, 316},
        {"MPEG-2 I 256k 24k", 0xF7, 0xE4, 512},
        {"MPEG-2.5 III 160k 8k", 0xE3, 0xE8, 1440},
        {"reserved version", 0xEB, 0x90, std::nullopt},
        {"reserved layer", 0xF9, 0x90, std::nullopt},
        {"free format", 0xFB, 0x00, std::nullopt},
        {"bitrate index 15", 0xFB, 0xF0, std::nullopt},
        {"sample-rate index 3", 0xFB, 0x9C, std::nullopt},
        {"sync bits incomplete", 0xDB, 0x90, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MPEGAudioFraming::frameLength(0xFF, c.b1, c.b2), c.length);
    }
    EXPECT_FALSE(MPEGAudioFraming::frameLength(0xFE, 0xFB, 0x90));
}

TEST(MPEGAudioFraming, HeaderInBytesNeedsAllFourBytes) {
    const std::vector<std::byte> bytes{std::byte{0}, std::byte{0xFF}, std::byte{0xFB},
                                       std::byte{0x90}, std::byte{0x64}};
    EXPECT_EQ(MPEGAudioFraming::frameLength(bytes, 1), 417);
    EXPECT_FALSE(MPEGAudioFraming::frameLength(std::span(bytes).first(4), 1)) << "three bytes left";
    EXPECT_FALSE(MPEGAudioFraming::frameLength(bytes, 0));
    for (const std::int64_t at :
         {std::int64_t{-1}, std::int64_t{5}, std::int64_t{6},
          std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()})
        EXPECT_FALSE(MPEGAudioFraming::frameLength(bytes, at)) << at;
}

}  // namespace
}  // namespace quarlin
