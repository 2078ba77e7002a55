#include "QuarlinCore/carving/RAR5Walker.h"

#include <algorithm>

#include "QuarlinCore/framing/RAR5Framing.h"

namespace quarlin {

std::optional<RAR5Walk> RAR5Walker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    constexpr auto signatureLength = static_cast<std::int64_t>(RAR5Framing::signature.size());
    if (at < 0 || at > n || n - at < signatureLength ||
        !std::ranges::equal(
            bytes.subspan(static_cast<std::size_t>(at), RAR5Framing::signature.size()),
            RAR5Framing::signature))
        return std::nullopt;

    RAR5Walk walk;
    std::int64_t pos = at + signatureLength;
    while (const auto block = RAR5Framing::parseBlock(bytes, pos)) {
        // A header whose CRC does not match is not a block of this archive: it ends the walk.
        if (!block->crcMatches) {
            ++walk.crcMismatches;
            break;
        }
        if (block->totalLength > static_cast<std::uint64_t>(n - pos)) break;
        ++walk.blocks;
        pos += static_cast<std::int64_t>(block->totalLength);
        if (block->isEndOfArchive()) {
            walk.endReached = true;
            break;
        }
        if (block->isEncryption()) {
            walk.encryptedHeaders = true;
            break;
        }
    }
    walk.length = pos - at;
    return walk;
}

}  // namespace quarlin
