// The FLAC walker from the first byte: a found stream lies inside the input.
#include <cstdlib>

#include "QuarlinCore/carving/FLACWalker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    const auto walk = quarlin::FLACWalker::walk(bytes, 0);
    if (walk &&
        (walk->length < 42 || walk->length > static_cast<std::int64_t>(size) || walk->frames < 0))
        std::abort();
    return 0;
}
