// Length of one MPEG audio frame (MPEG-1, 2 and 2.5, Layers I to III) from its header, so a
// carver can hop from frame to frame. Tags and the number of frames that make a file are the
// caller's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct MPEGAudioFraming {
    // Whole frame in bytes, header included, from header bytes 0 to 2; nothing for a bad sync,
    // a reserved version or layer, free-format or bad bitrate, or a reserved sample rate.
    static std::optional<std::int64_t> frameLength(std::uint8_t byte0, std::uint8_t byte1,
                                                   std::uint8_t byte2);

    // The same for the header at `at`; all 4 header bytes must be present.
    static std::optional<std::int64_t> frameLength(std::span<const std::byte> bytes,
                                                   std::int64_t at);
};

}  // namespace quarlin
