#include "QuarlinCore/carving/XARWalker.h"

#include <limits>

#include "QuarlinCore/framing/XARFraming.h"

namespace quarlin {

std::optional<XARWalk> XARWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto header = XARFraming::parseHeader(bytes, at);
    if (!header) return std::nullopt;
    const auto n = static_cast<std::int64_t>(bytes.size());
    // The TOC lengths are capped by parseHeader, so these sums stay far inside 63 bits.
    const std::int64_t tocStart = at + header->headerSize;
    const auto tocLength = static_cast<std::int64_t>(header->tocCompressedLength);
    if (tocStart > n || tocLength > n - tocStart) return std::nullopt;
    const auto toc = XARFraming::inflateTOC(
        bytes.subspan(static_cast<std::size_t>(tocStart), static_cast<std::size_t>(tocLength)),
        static_cast<std::int64_t>(header->tocUncompressedLength));
    if (!toc) return std::nullopt;
    const auto heapEnd = XARFraming::heapEndOfElements(*toc);
    if (!heapEnd) return std::nullopt;
    const std::int64_t heapStart = header->headerSize + tocLength;
    if (*heapEnd > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - heapStart))
        return std::nullopt;

    XARWalk walk;
    walk.length = heapStart + static_cast<std::int64_t>(*heapEnd);
    walk.headerSize = header->headerSize;
    walk.tocCompressedLength = header->tocCompressedLength;
    walk.tocLength = header->tocUncompressedLength;
    walk.heapEnd = *heapEnd;
    walk.installerPackage = XARFraming::looksLikeInstallerPackage(*toc);
    return walk;
}

}  // namespace quarlin
