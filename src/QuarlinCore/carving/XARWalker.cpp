#include "QuarlinCore/carving/XARWalker.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <limits>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/XARFraming.h"

namespace quarlin {
namespace {

// The length of the TOC checksum: from the header's algorithm (1 SHA-1, 2 MD5), or for the
// algorithm the TOC names (3), from that name; 0 without a checksum.
std::int64_t checksumLength(std::span<const std::byte> bytes, std::int64_t at, std::span<const std::byte> toc) {
    const std::uint32_t algorithm = ByteReader(bytes).peekU32BE(at + 24);
    if (algorithm == 1) return 20;
    if (algorithm == 2) return 16;
    if (algorithm != 3) return 0;
    const std::string_view text(reinterpret_cast<const char*>(toc.data()), std::min<std::size_t>(toc.size(), 4096));
    if (text.find("style=\"sha512\"") != std::string_view::npos) return 64;
    if (text.find("style=\"sha256\"") != std::string_view::npos) return 32;
    return 0;
}

}  // namespace

std::int64_t XARWalker::closingCopyLength(std::span<const std::byte> bytes, std::int64_t at) {
    const auto header = XARFraming::parseHeader(bytes, at);
    if (!header) return 0;
    const std::int64_t tocStart = at + header->headerSize;
    const auto tocLength = static_cast<std::int64_t>(header->tocCompressedLength);
    if (tocStart > static_cast<std::int64_t>(bytes.size()) || tocLength > static_cast<std::int64_t>(bytes.size()) - tocStart)
        return 0;
    const auto toc = XARFraming::inflateTOC(
        bytes.subspan(static_cast<std::size_t>(tocStart), static_cast<std::size_t>(tocLength)),
        static_cast<std::int64_t>(header->tocUncompressedLength));
    return toc ? std::min(checksumLength(bytes, at, *toc), tocLength) : 0;
}

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
    // Some writers (bsdtar) end the archive with a copy of the first bytes of the compressed
    // TOC, as long as the TOC checksum, that no TOC entry names: it belongs to the archive.
    const std::int64_t copy = checksumLength(bytes, at, *toc);
    if (copy > 0 && n - at - walk.length >= copy && tocLength >= copy &&
        std::memcmp(bytes.data() + at + walk.length, bytes.data() + tocStart, static_cast<std::size_t>(copy)) == 0)
        walk.length += copy;
    walk.headerSize = header->headerSize;
    walk.tocCompressedLength = header->tocCompressedLength;
    walk.tocLength = header->tocUncompressedLength;
    walk.heapEnd = *heapEnd;
    walk.installerPackage = XARFraming::looksLikeInstallerPackage(*toc);
    return walk;
}

}  // namespace quarlin
