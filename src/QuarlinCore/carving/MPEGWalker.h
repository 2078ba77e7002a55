// Measures an MPEG audio file (MP3, MP2, MP1) from an offset.
//
// Rule: an ID3v2 tag may stand at the offset ("ID3", version 2 to 4, a syncsafe size, wholly
// inside the bytes); the first frame header must follow it at once, be valid and fit in the
// bytes. Frames are then hopped while each header is valid, fits in the bytes and keeps the
// first frame's MPEG version, layer and sample rate (bitrate, padding and channel mode may
// change). Tags after the last frame are included: an ID3v2.4 tag appended with its "3DI"
// footer and an APEv2 tag (with or without its header), in either order, then a 128-byte ID3v1
// tag ("TAG"). Anything else ends the walk: garbage, a cut final frame, a frame of another
// stream, a frame carrying a stream's opening header ("Xing", "Info", "VBRI": the first frame
// of the next file), or an ID3v2 tag without a footer (the start of the next file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct MPEGWalk {
    std::int64_t length = 0;  // tags and whole frames, from the offset
    std::int64_t frames = 0;
    // The stream's frame count as its first frame's "Xing", "Info" or "VBRI" header declares
    // it (0 when it has none). Encoders differ on whether that frame is counted.
    std::int64_t declaredFrames = 0;
    std::int64_t firstFrameEnd = 0;  // from the offset
    std::int64_t framesEnd = 0;      // the end of the last frame, before any tag after it
    // What a LAME tag in the first frame records, when the tag's own CRC-16 matches: the length
    // of the music from the first frame's start, and the CRC-16 of the frames after the first.
    struct LAMETag {
        std::int64_t musicLength = 0;
        std::uint16_t musicCRC = 0;
        friend bool operator==(const LAMETag&, const LAMETag&) = default;
    };
    std::optional<LAMETag> lame;
    bool id3v2 = false;
    bool id3v1 = false;
    bool appendedID3v2 = false;  // an ID3v2.4 tag with a footer after the frames
    bool apeTag = false;
    friend bool operator==(const MPEGWalk&, const MPEGWalk&) = default;
};

struct MPEGWalker {
    // Nothing when no frame (after an optional ID3v2 tag) starts at `at`.
    static std::optional<MPEGWalk> walk(std::span<const std::byte> bytes, std::int64_t at);

    // The CRC-16 that LAME tags use (reflected polynomial 0xA001, from 0), carried on from `crc`.
    static std::uint16_t crc16(std::span<const std::byte> bytes, std::uint16_t crc = 0);

    // Length of the ID3v2 tag at `at` (header, body and footer), or nothing.
    static std::optional<std::int64_t> id3v2Length(std::span<const std::byte> bytes,
                                                   std::int64_t at);
    // The length the ID3v2 header at `at` declares, whether or not `bytes` hold the whole tag.
    static std::optional<std::int64_t> id3v2DeclaredLength(std::span<const std::byte> bytes,
                                                           std::int64_t at);
};

}  // namespace quarlin
