// The table-driven CRC over any range agrees with zlib's; ranges outside the bytes read nothing.
#include <zlib.h>

#include "FuzzInput.h"
#include "QuarlinCore/framing/CRC32.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarlin;
    fuzz::FuzzInput input(data, size);
    const auto from = static_cast<std::int64_t>(input.take(2)) - 16;
    const auto to = static_cast<std::int64_t>(input.take(2)) - 16;
    const auto bytes = input.rest();
    const auto n = static_cast<std::int64_t>(bytes.size());
    const std::uint32_t crc = CRC32::compute(bytes, from, to);
    if (from >= 0 && from <= to && to <= n) {
        const auto* p = reinterpret_cast<const Bytef*>(bytes.data()) + from;
        fuzz::require(crc == static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(to - from))));
    } else {
        fuzz::require(crc == 0);
    }
    return 0;
}
