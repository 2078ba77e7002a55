#include "QuarlinCore/carving/FLACWalker.h"

namespace quarlin {
namespace {

// One past the last sample the frame holds: frames of a fixed-size stream are numbered, those
// of a variable-size stream carry their first sample.
std::uint64_t lastSampleOf(const FLACFraming::FrameHeader& header, const std::optional<FLACFraming::StreamInfo>& info) {
    const auto blockSize = static_cast<std::uint64_t>(header.blockSizeSamples);
    const std::uint64_t first = header.isVariableBlockSize
                                    ? header.codedNumber
                                    : header.codedNumber * static_cast<std::uint64_t>(info ? info->maxBlockSize : 0);
    return first + blockSize;
}

}  // namespace

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
    const std::uint64_t total = info ? info->totalSamples : 0;
    while (header) {
        // The frame that reaches STREAMINFO's last sample ends the stream where its own
        // structure ends, whatever bytes follow it.
        if (total > 0 && lastSampleOf(*header, info) >= total) {
            const auto end = FLACFraming::frameEndByStructure(stream.first(static_cast<std::size_t>(
                                                                  std::min<std::int64_t>(pos + window, static_cast<std::int64_t>(stream.size())))),
                                                              pos, *header, info);
            if (!end) break;
            ++walk.frames;
            walk.lastSampleReached = true;
            pos = *end;
            break;
        }
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
