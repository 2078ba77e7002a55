// The Ogg walker from the first two offsets: a found run of pages lies inside the input and
// holds at least one whole page header (a page of no segments is 27 bytes); the measured
// length never exceeds the clean run of pages.
#include <cstdlib>

#include "QuarlinCore/carving/OggWalker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    for (std::int64_t at = 0; at < 2; ++at) {
        const auto walk = quarlin::OggWalker::walk(bytes, at);
        if (walk && (walk->pages < 1 || walk->length < 27 ||
                     walk->length > walk->walkedLength ||
                     walk->walkedLength > static_cast<std::int64_t>(size) - at))
            std::abort();
    }
    return 0;
}
