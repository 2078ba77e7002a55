#include "QuarlinCore/model/DataLayout.h"
#include "RoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return quarlin::fuzzing::decodeAndRoundTrip<quarlin::DataLayout>(data, size);
}
