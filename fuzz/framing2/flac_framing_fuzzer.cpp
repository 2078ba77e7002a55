// Metadata walk, frame headers and boundary scans over arbitrary bytes; every offset reported
// must lie inside the input.
#include <cstdlib>

#include "QuarlinCore/framing/FLACFraming.h"

using quarlin::FLACFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    const auto n = static_cast<std::int64_t>(size);
    std::optional<FLACFraming::StreamInfo> info;
    std::int64_t start = 0;
    if (const auto metadata = FLACFraming::walkMetadataBlocks(bytes)) {
        if (metadata->audioStart < 42 || metadata->audioStart > n) std::abort();
        info = metadata->streamInfo;
        start = metadata->audioStart;
    }
    // Headers are tried at the first positions; the boundary scan with and without STREAMINFO.
    for (std::int64_t at = start; at < n && at < start + 64; ++at) {
        for (const auto& with : {info, std::optional<FLACFraming::StreamInfo>{}}) {
            const auto header = FLACFraming::parseFrameHeader(bytes, at, with);
            if (!header) continue;
            if (header->byteCount < 6 || header->byteCount > n - at) std::abort();
            const auto boundary = FLACFraming::scanFrameBoundary(
                bytes, at, *header, at + FLACFraming::maxFrameWindow(with), with);
            if (boundary && (boundary->end < at + header->byteCount + 2 || boundary->end > n))
                std::abort();
        }
    }
    return 0;
}
