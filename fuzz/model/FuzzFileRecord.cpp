#include "QuarlinCore/model/FileRecord.h"
#include "RoundTrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return quarlin::fuzzing::decodeAndRoundTrip<quarlin::FileRecord>(data, size);
}
