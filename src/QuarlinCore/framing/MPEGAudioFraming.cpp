#include "QuarlinCore/framing/MPEGAudioFraming.h"

#include <array>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {
namespace {

using Row = std::array<std::int64_t, 15>;  // kbit/s by bitrate index; index 0 unused

constexpr Row kMPEG1Layer1{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
constexpr Row kMPEG1Layer2{0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr Row kMPEG1Layer3{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr Row kMPEG2Layer1{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256};
constexpr Row kMPEG2Layer23{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

// Version field: 0 = MPEG-2.5, 2 = MPEG-2, 3 = MPEG-1 (1 is reserved).
constexpr std::array<std::array<std::int64_t, 3>, 4> kSampleRates{{
    {11025, 12000, 8000},
    {0, 0, 0},
    {22050, 24000, 16000},
    {44100, 48000, 32000},
}};

}  // namespace

std::optional<std::int64_t> MPEGAudioFraming::frameLength(std::uint8_t byte0, std::uint8_t byte1,
                                                          std::uint8_t byte2) {
    if (byte0 != 0xFF || byte1 < 0xE0) return std::nullopt;
    const unsigned version = (byte1 >> 3) & 0x3U;
    const unsigned layer = (byte1 >> 1) & 0x3U;  // 3 = Layer I, 2 = Layer II, 1 = Layer III
    const unsigned bitrateIndex = byte2 >> 4;
    const unsigned rateIndex = (byte2 >> 2) & 0x3U;
    const std::int64_t padding = (byte2 >> 1) & 0x1U;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return std::nullopt;

    const bool mpeg1 = version == 3;
    const Row& row = mpeg1 ? (layer == 3   ? kMPEG1Layer1
                              : layer == 2 ? kMPEG1Layer2
                                           : kMPEG1Layer3)
                           : (layer == 3 ? kMPEG2Layer1 : kMPEG2Layer23);
    const std::int64_t bitrate = row[bitrateIndex];
    const std::int64_t rate = kSampleRates[version][rateIndex];
    if (layer == 3) return 4 * (12000 * bitrate / rate + padding);
    if (layer == 1 && !mpeg1) return 72000 * bitrate / rate + padding;
    return 144000 * bitrate / rate + padding;
}

std::optional<std::int64_t> MPEGAudioFraming::frameLength(std::span<const std::byte> bytes,
                                                          std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n || n - at < 4) return std::nullopt;
    const ByteReader reader(bytes);
    return frameLength(reader.peekU8(at), reader.peekU8(at + 1), reader.peekU8(at + 2));
}

}  // namespace quarlin
