// The XAR walker from the first byte: a found archive holds at least its header and TOC.
#include <cstdlib>

#include "QuarlinCore/carving/XARWalker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto walk = quarlin::XARWalker::walk(std::as_bytes(std::span(data, size)), 0);
    if (walk &&
        walk->length < walk->headerSize + static_cast<std::int64_t>(walk->tocCompressedLength))
        std::abort();
    return 0;
}
