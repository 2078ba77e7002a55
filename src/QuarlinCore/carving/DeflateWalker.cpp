#include "QuarlinCore/carving/DeflateWalker.h"

#include "QuarlinCore/framing/DeflateFraming.h"

namespace quarlin {

std::optional<DeflateWalk> DeflateWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto scan = DeflateFraming::scanRawStream(bytes, at);
    if (!scan) return std::nullopt;
    return DeflateWalk{scan->compressedLength, scan->outputLength, scan->crc32};
}

}  // namespace quarlin
