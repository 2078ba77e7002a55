#include "FuzzInput.h"
#include "QuarlinCore/framing/MPEGAudioFraming.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarlin;
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
    const auto n = static_cast<std::int64_t>(size);
    for (std::int64_t at = -1; at <= n; ++at) {
        if (const auto length = MPEGAudioFraming::frameLength(bytes, at)) {
            fuzz::require(at >= 0 && n - at >= 4);
            // Shortest: MPEG-2 Layer III at 8 kbit/s and 24 kHz. Longest: padded Layer II of
            // MPEG-2.5 at 160 kbit/s and 8 kHz.
            fuzz::require(*length >= 24 && *length <= 2881);
        }
    }
    return 0;
}
