#include "QuarlinCore/carving/EBMLWalker.h"

#include "QuarlinCore/framing/EBMLFraming.h"

#include <algorithm>
#include <iterator>

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

// The elements that may stand directly in a Segment, and directly in a Cluster.
constexpr std::uint64_t kSegmentChildren[] = {0x114D9B74, 0x1549A966, 0x1654AE6B, 0x1F43B675, 0x1C53BB6B,
                                              0x1941A469, 0x1043A770, 0x1254C367, 0xEC,       0xBF};
constexpr std::uint64_t kClusterChildren[] = {0xE7, 0x5854, 0xA7, 0xAB, 0xA3, 0xA0, 0xAF, 0xEC, 0xBF};
constexpr std::uint64_t kClusterID = 0x1F43B675;

template <std::size_t N>
bool isOneOf(std::uint64_t id, const std::uint64_t (&ids)[N]) {
    return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
}

// Where the children of an element of unknown size end: at the first element that cannot be
// one of them, or that the bytes cut short. A Cluster of unknown size (a muxer writing live)
// is walked the same way, one level down; nothing deeper is looked at.
std::int64_t endOfChildren(std::span<const std::byte> bytes, std::int64_t pos, bool inCluster) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    while (pos < n) {
        const auto element = EBMLFraming::parseElement(bytes, pos);
        if (!element) break;
        if (inCluster ? !isOneOf(element->id, kClusterChildren) : !isOneOf(element->id, kSegmentChildren)) break;
        if (!element->dataSize) {
            if (inCluster || element->id != kClusterID) break;
            pos = endOfChildren(bytes, pos + element->headerLength, true);
            continue;
        }
        const auto end = endInside(*element, pos, n);
        if (!end) break;
        pos = *end;
    }
    return pos;
}

}  // namespace

std::int64_t EBMLWalker::filledUntil(std::span<const std::byte> bytes, std::int64_t pos,
                                     std::int64_t end, bool inCluster) {
    end = std::clamp<std::int64_t>(end, 0, static_cast<std::int64_t>(bytes.size()));
    const auto limited = bytes.first(static_cast<std::size_t>(end));
    while (pos < end) {
        const auto element = EBMLFraming::parseElement(limited, pos);
        if (!element || (inCluster ? !isOneOf(element->id, kClusterChildren)
                                   : !isOneOf(element->id, kSegmentChildren)))
            break;
        if (!element->dataSize && !inCluster && element->id == kClusterID) {
            pos = endOfChildren(limited, pos + element->headerLength, true);
            continue;
        }
        const auto elementEnd = endInside(*element, pos, end);
        if (!elementEnd) break;
        if (!inCluster && element->id == kClusterID) {
            const auto inner = filledUntil(bytes, pos + element->headerLength, *elementEnd, true);
            if (inner < *elementEnd) return inner;
        }
        pos = *elementEnd;
    }
    return pos;
}

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
    // Where a further EBML header began while no Segment has followed it yet.
    std::optional<std::int64_t> pendingDocument;
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
            pendingDocument.reset();
            pos = endOfChildren(bytes, pos + element->headerLength, false);
            break;
        }
        const auto end = endInside(*element, pos, n);
        if (!end) break;
        if (segment) {
            ++walk.segments;
            pendingDocument.reset();
        } else if (element->id == EBMLFraming::ebmlHeaderID && !pendingDocument) {
            pendingDocument = pos;
        }
        pos = *end;
    }
    if (pendingDocument) pos = *pendingDocument;
    walk.length = pos - at;
    return walk;
}

}  // namespace quarlin
