// XAR archives: a binary header, a zlib-compressed XML table of contents (TOC), then the
// heap. TOC offsets count from the heap start (right after the compressed TOC), so the
// archive ends at header size + compressed TOC length + heap end. No checksum is examined.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quarlin {

struct XARFraming {
    static constexpr std::array<std::byte, 4> magic{std::byte{0x78}, std::byte{0x61},
                                                    std::byte{0x72}, std::byte{0x21}};  // "xar!"
    static constexpr std::uint64_t maxCompressedTOCBytes = 0x4000000;                   // 64 MiB
    static constexpr std::uint64_t maxUncompressedTOCBytes = 0x10000000;                // 256 MiB

    struct Header {
        std::int64_t headerSize = 0;  // as stored, 28 to 512
        std::uint64_t tocCompressedLength = 0;
        std::uint64_t tocUncompressedLength = 0;
        bool operator==(const Header&) const = default;
    };

    static std::optional<Header> parseHeader(std::span<const std::byte> bytes, std::int64_t at);
    // One inflate call into a buffer of exactly expectedSize bytes; only a stream that ends
    // having produced exactly that many bytes is accepted. Bytes after the stream are ignored.
    static std::optional<std::vector<std::byte>> inflateTOC(std::span<const std::byte> compressed,
                                                            std::int64_t expectedSize);
    // Byte scan of the TOC: each "<offset>" is paired with the first "<length>" (else "<size>")
    // after it and before the next "<offset>". That order suits TOCs that write the offset
    // first; archives that write length and size before the offset need heapEndOfElements.
    static std::optional<std::uint64_t> heapEnd(std::span<const std::byte> toc);
    // Pairs each "<offset>" with the "<length>" (else "<size>") of the same parent element
    // (<data>, <ea>, the TOC checksum, ...), whatever their order. Absent for an empty TOC,
    // for a sum beyond 64 bits or for nesting deeper than any real TOC; 0 with no entry.
    static std::optional<std::uint64_t> heapEndOfElements(std::span<const std::byte> toc);
    static bool looksLikeInstallerPackage(std::span<const std::byte> toc);
    // One zlib-stream compression call at level 1.
    static std::optional<std::vector<std::byte>> deflate(std::span<const std::byte> bytes);
};

}  // namespace quarlin
