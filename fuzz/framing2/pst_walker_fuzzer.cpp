// The PST walker from the first byte: a found file declares at least 512 bytes.
#include <cstdlib>

#include "QuarlinCore/carving/PSTWalker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto walk = quarlin::PSTWalker::walk(std::as_bytes(std::span(data, size)), 0);
    if (walk && walk->length < 512) std::abort();
    return 0;
}
