#include "QuarlinCore/carving/RAR4Walker.h"

#include "QuarlinCore/framing/RAR4Framing.h"

#include <algorithm>

namespace quarlin {

std::optional<RAR4Walk> RAR4Walker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    constexpr auto signatureLength = static_cast<std::int64_t>(RAR4Framing::signature.size());
    if (at < 0 || at > n || n - at < signatureLength ||
        !std::ranges::equal(bytes.subspan(static_cast<std::size_t>(at), RAR4Framing::signature.size()),
                            RAR4Framing::signature))
        return std::nullopt;

    RAR4Walk walk;
    std::int64_t pos = at;
    while (const auto block = RAR4Framing::parseBlock(bytes, pos)) {
        if (block->totalLength > static_cast<std::uint64_t>(n - pos)) break;
        ++walk.blocks;
        pos += static_cast<std::int64_t>(block->totalLength);
        if (block->isEndOfArchive()) {
            walk.endReached = true;
            break;
        }
    }
    walk.length = pos - at;
    return walk;
}

}  // namespace quarlin
