// The UDIF walker with the default trailer position and at the first bytes: a found image
// begins inside the input and ends with its trailer.
#include <cstdlib>

#include "QuarlinCore/carving/UDIFWalker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    const auto check = [](const std::optional<quarlin::UDIFWalk>& walk) {
        if (walk && (walk->imageOffset < 0 ||
                     walk->imageOffset + walk->length != walk->trailerOffset + 512))
            std::abort();
    };
    check(quarlin::UDIFWalker::walk(bytes));
    for (std::int64_t at = 0; at < 8; ++at) check(quarlin::UDIFWalker::walk(bytes, at));
    return 0;
}
