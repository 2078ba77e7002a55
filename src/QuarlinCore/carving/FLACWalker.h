// Measures a FLAC stream from where its "fLaC" marker starts.
//
// Rule: the metadata blocks are walked to the first audio frame, whose header must parse and
// agree with STREAMINFO. Each frame is then delimited by the boundary scan, allowed to extend
// maxFrameWindow bytes past its start; the frame found behind it is the next one walked. The
// walk ends with the first frame that has no successor: that frame still counts when the scan
// found its end (the last isolated footer match), and not when no footer was found at all.
// A stream whose metadata ends the bytes, or whose first frame does not parse, has 0 frames.
// When STREAMINFO gives the total samples, the frame that reaches the last one ends the walk
// where its subframes end (and its footer matches): the bytes after a stream cannot stretch
// its last frame. A last frame whose structure does not parse is not counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "QuarlinCore/framing/FLACFraming.h"

namespace quarlin {

struct FLACWalk {
    std::int64_t length = 0;  // marker, metadata and every frame counted
    std::int64_t frames = 0;
    FLACFraming::StreamInfo streamInfo;
    bool lastSampleReached = false;  // the walk ended with the frame holding the last sample
    friend bool operator==(const FLACWalk&, const FLACWalk&) = default;
};

struct FLACWalker {
    // Nothing when no marker and valid metadata start at `at`.
    static std::optional<FLACWalk> walk(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
