// UDIF trailers at every position of arbitrary bytes; accepted ones hold the length limits.
#include <cstdlib>

#include "QuarlinCore/framing/UDIFFraming.h"

using quarlin::UDIFFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    for (std::int64_t at = -1; at <= static_cast<std::int64_t>(size) && at < 64; ++at) {
        const auto trailer = UDIFFraming::parseTrailer(bytes, at);
        if (!trailer) continue;
        if (trailer->xmlLength == 0 || trailer->xmlLength > 0x20000000 ||
            !trailer->expectedFileLength())
            std::abort();
    }
    return 0;
}
