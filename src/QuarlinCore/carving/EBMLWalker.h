// Measures a Matroska or WebM file (any EBML document) from its EBML header.
//
// Rule: an EBML header element with a known size, wholly inside the bytes, must stand at the
// offset and name its document type. Top-level elements follow: Segments, Void fillers and
// further EBML headers, each walked while it parses and its data fits in the bytes. A Segment
// of unknown size (written by a muxer that could not seek back) ends where its children end:
// at the first element that cannot stand in a Segment, or that the bytes cut short; a Cluster
// of unknown size among them ends the same way, at the first element that cannot stand in a
// Cluster. Such a Segment ends the walk. Any other element, one cut short, or a Void or EBML
// header of unknown size ends the walk. A further EBML header belongs to the file only with a
// whole Segment after it; without one it is the start of another file, and the walk ends
// before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quarlin {

struct EBMLWalk {
    std::int64_t length = 0;
    std::string docType;
    std::int64_t segments = 0;
    bool unknownSizeSegment = false;  // the last Segment had an unknown size: its children measured it
    friend bool operator==(const EBMLWalk&, const EBMLWalk&) = default;
};

struct EBMLWalker {
    static std::optional<EBMLWalk> walk(std::span<const std::byte> bytes, std::int64_t at);

    // How far the data of a Segment, from `at` to `end`, holds elements one after another that
    // may stand in a Segment (and within each Cluster, elements that may stand in a Cluster,
    // one level down): `end` when they fill it, else the end of the last one that fits. A file
    // cut short and overwritten keeps its Segment's size over bytes that are no elements.
    static std::int64_t filledUntil(std::span<const std::byte> bytes, std::int64_t at,
                                    std::int64_t end, bool inCluster = false);
};

}  // namespace quarlin
