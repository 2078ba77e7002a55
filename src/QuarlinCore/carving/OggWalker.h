// Measures an Ogg file (Vorbis, Opus, FLAC-in-Ogg, chained streams) from an offset.
//
// Rule: the clean run of pages from the offset, every page CRC checked; the walk ends at the
// first byte that is not an intact page, so a damaged or cut page and everything after it are
// left out. Found when at least one page is intact. Chained links (a stream that begins after
// every earlier one has ended) belong to the file only when they end too: a link whose end is
// missing after one that ended is the start of another file, and the walk ends before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct OggWalk {
    std::int64_t length = 0;
    std::int64_t pages = 0;
    bool firstPageIsBOS = false;
    bool sawEOS = false;
    std::int64_t walkedLength = 0;  // the whole clean run of pages, an unended link included
    friend bool operator==(const OggWalk&, const OggWalk&) = default;
};

struct OggWalker {
    static std::optional<OggWalk> walk(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
