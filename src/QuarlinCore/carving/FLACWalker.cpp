#include "QuarlinCore/carving/FLACWalker.h"

namespace quarlin {

std::optional<FLACWalk> FLACWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    if (at < 0 || at > static_cast<std::int64_t>(bytes.size())) return std::nullopt;
    // Offsets below are relative to the marker, as the framing functions expect.
    const auto stream = bytes.subspan(static_cast<std::size_t>(at));
    const auto metadata = FLACFraming::walkMetadataBlocks(stream);
    if (!metadata) return std::nullopt;

    FLACWalk walk;
    walk.streamInfo = metadata->streamInfo;
    const std::optional<FLACFraming::StreamInfo> info = metadata->streamInfo;
    const std::int64_t window = FLACFraming::maxFrameWindow(info);
    std::int64_t pos = metadata->audioStart;
    auto header = FLACFraming::parseFrameHeader(stream, pos, info);
    while (header) {
        const auto boundary =
            FLACFraming::scanFrameBoundary(stream, pos, *header, pos + window, info);
        if (!boundary) break;
        ++walk.frames;
        pos = boundary->end;
        header = boundary->next;
    }
    walk.length = pos;
    return walk;
}

}  // namespace quarlin
