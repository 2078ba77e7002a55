#include "QuarlinCore/carving/EBMLWalker.h"

#include "QuarlinCore/framing/EBMLFraming.h"

namespace quarlin {
namespace {

// The end of an element's data when it has a known size that fits in the bytes.
std::optional<std::int64_t> endInside(const EBMLFraming::Element& element, std::int64_t at,
                                      std::int64_t n) {
    if (!element.dataSize) return std::nullopt;
    const std::int64_t dataStart = at + element.headerLength;
    if (*element.dataSize > static_cast<std::uint64_t>(n - dataStart)) return std::nullopt;
    return dataStart + static_cast<std::int64_t>(*element.dataSize);
}

}  // namespace

std::optional<EBMLWalk> EBMLWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    const auto header = EBMLFraming::parseElement(bytes, at);
    if (!header || header->id != EBMLFraming::ebmlHeaderID) return std::nullopt;
    const auto headerEnd = endInside(*header, at, n);
    if (!headerEnd) return std::nullopt;
    const auto payloadStart = static_cast<std::size_t>(at + header->headerLength);
    auto docType = EBMLFraming::docType(
        bytes.subspan(payloadStart, static_cast<std::size_t>(*headerEnd) - payloadStart));
    if (!docType) return std::nullopt;

    EBMLWalk walk;
    walk.docType = std::move(*docType);
    std::int64_t pos = *headerEnd;
    while (pos < n) {
        const auto element = EBMLFraming::parseElement(bytes, pos);
        if (!element) break;
        const bool segment = element->id == EBMLFraming::segmentID;
        if (!segment && element->id != EBMLFraming::voidID &&
            element->id != EBMLFraming::ebmlHeaderID)
            break;
        if (segment && !element->dataSize) {
            ++walk.segments;
            walk.unknownSizeSegment = true;
            pos = n;
            break;
        }
        const auto end = endInside(*element, pos, n);
        if (!end) break;
        if (segment) ++walk.segments;
        pos = *end;
    }
    walk.length = pos - at;
    return walk;
}

}  // namespace quarlin
