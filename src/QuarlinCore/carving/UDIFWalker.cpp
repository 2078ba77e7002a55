#include "QuarlinCore/carving/UDIFWalker.h"

namespace quarlin {

std::optional<UDIFWalk> UDIFWalker::walk(std::span<const std::byte> bytes,
                                         std::optional<std::int64_t> trailerAt) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    const std::int64_t at = trailerAt.value_or(n - UDIFFraming::trailerSize);
    const auto trailer = UDIFFraming::parseTrailer(bytes, at);
    if (!trailer) return std::nullopt;
    const auto length = trailer->expectedFileLength();
    // The trailer lies in the bytes, so at + 512 cannot overflow.
    const std::int64_t trailerEnd = at + UDIFFraming::trailerSize;
    if (!length || *length < static_cast<std::uint64_t>(UDIFFraming::trailerSize) ||
        *length > static_cast<std::uint64_t>(trailerEnd))
        return std::nullopt;
    const auto signedLength = static_cast<std::int64_t>(*length);
    return UDIFWalk{at, trailerEnd - signedLength, signedLength, *trailer};
}

}  // namespace quarlin
