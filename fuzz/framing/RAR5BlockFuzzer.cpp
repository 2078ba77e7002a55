#include "FuzzInput.h"
#include "QuarlinCore/framing/RAR5Framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarlin;
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
    const auto n = static_cast<std::int64_t>(size);
    for (std::int64_t at = -1; at <= n; ++at) {
        if (const auto block = RAR5Framing::parseBlock(bytes, at)) {
            fuzz::require(at >= 0 && n - at >= 7);
            fuzz::require(block->totalLength != 0);
            fuzz::require(block->isEndOfArchive() == (block->headerType == 5));
        }
    }
    return 0;
}
