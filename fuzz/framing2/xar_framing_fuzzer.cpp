// Header, TOC inflation and both heap scans. The input is taken as an archive (header, then
// compressed TOC) and, independently, as a TOC text.
#include <cstdlib>

#include "QuarlinCore/framing/XARFraming.h"

using quarlin::XARFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    if (const auto header = XARFraming::parseHeader(bytes, 0)) {
        const auto available = static_cast<std::int64_t>(size) - header->headerSize;
        // Bounded, so that a fuzzer-chosen length does not spend the run allocating.
        if (available > 0 && header->tocUncompressedLength <= (1U << 20)) {
            const auto toc =
                XARFraming::inflateTOC(bytes.subspan(static_cast<std::size_t>(header->headerSize)),
                                       static_cast<std::int64_t>(header->tocUncompressedLength));
            if (toc && toc->size() != header->tocUncompressedLength) std::abort();
            if (toc) {
                (void)XARFraming::heapEnd(*toc);
                (void)XARFraming::heapEndOfElements(*toc);
            }
        }
    }
    const auto end = XARFraming::heapEnd(bytes);
    const auto elements = XARFraming::heapEndOfElements(bytes);
    if (end.has_value() != (size > 0)) std::abort();
    if (size == 0 && elements) std::abort();
    (void)XARFraming::looksLikeInstallerPackage(bytes);
    if (size <= 4096) {
        const auto compressed = XARFraming::deflate(bytes);
        if (!compressed) std::abort();
        if (size > 0 && XARFraming::inflateTOC(*compressed, static_cast<std::int64_t>(size)) !=
                            std::vector<std::byte>(bytes.begin(), bytes.end()))
            std::abort();
    }
    return 0;
}
