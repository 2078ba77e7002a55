// PST and OST headers at every position of arbitrary bytes.
#include <cstdlib>

#include "QuarlinCore/framing/PSTFraming.h"

using quarlin::OutlookPSTFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    for (std::int64_t at = -1; at <= static_cast<std::int64_t>(size) && at < 64; ++at) {
        const auto header = OutlookPSTFraming::parseHeader(bytes, at);
        if (header && header->declaredFileSize < 512) std::abort();
    }
    return 0;
}
