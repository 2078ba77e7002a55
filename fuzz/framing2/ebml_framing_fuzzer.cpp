// Element headers at every position and the document-type search over arbitrary bytes.
#include <cstdlib>

#include "QuarlinCore/framing/EBMLFraming.h"

using quarlin::EBMLFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    for (std::int64_t at = -1; at <= static_cast<std::int64_t>(size) && at < 256; ++at) {
        const auto element = EBMLFraming::parseElement(bytes, at);
        if (element && (element->headerLength < 2 ||
                        element->headerLength > static_cast<std::int64_t>(size) - at))
            std::abort();
    }
    if (const auto type = EBMLFraming::docType(bytes)) {
        if (type->empty() || type->size() > size) std::abort();
        for (char c : *type)
            if (c == 0 || static_cast<unsigned char>(c) > 0x7F) std::abort();
    }
    return 0;
}
