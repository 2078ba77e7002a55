// Measures a XAR archive (installer packages among them) from its header.
//
// Rule: the header must parse at the offset and the compressed TOC that follows it must lie
// inside the bytes and inflate to exactly its declared length. The heap end pairs every
// offset in the TOC with the length (else the size) of the same element, whatever order the
// writer put them in; the length is header size + compressed TOC length + heap end, and may
// reach past the bytes at hand when the heap was cut off. Where the heap end is followed by a
// copy of the compressed TOC's first bytes, as long as the archive's TOC checksum, as some
// writers leave, those bytes are counted too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct XARWalk {
    std::int64_t length = 0;
    std::int64_t headerSize = 0;
    std::uint64_t tocCompressedLength = 0;
    std::uint64_t tocLength = 0;
    std::uint64_t heapEnd = 0;
    bool installerPackage = false;
    friend bool operator==(const XARWalk&, const XARWalk&) = default;
};

struct XARWalker {
    // Nothing without a header and an intact TOC, or when the length does not fit in 63 bits.
    static std::optional<XARWalk> walk(std::span<const std::byte> bytes, std::int64_t at);
    // How long the copy of the compressed TOC's first bytes is that some writers (bsdtar) end
    // the archive with, past its heap: the walk counts it only when its bytes hold it. 0
    // without a TOC checksum, or when the bytes do not hold the TOC.
    static std::int64_t closingCopyLength(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
