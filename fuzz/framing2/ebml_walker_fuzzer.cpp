// The EBML walker from the first byte: a found document lies inside the input.
#include <cstdlib>

#include "QuarlinCore/carving/EBMLWalker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto walk = quarlin::EBMLWalker::walk(std::as_bytes(std::span(data, size)), 0);
    if (walk && (walk->length < 7 || walk->length > static_cast<std::int64_t>(size) ||
                 walk->docType.empty()))
        std::abort();
    return 0;
}
