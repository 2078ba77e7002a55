// FLAC stream framing: the "fLaC" marker and metadata blocks up to the first audio frame,
// STREAMINFO, frame headers checked by their CRC-8, and frame ends found by the CRC-16 footer
// followed by a plausible next header. Subframes and the MD5 signature are never read.
// Every function is pure, bounds-checked and answers std::nullopt instead of throwing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct FLACFraming {
    struct StreamInfo {
        std::int64_t minBlockSize = 0;
        std::int64_t maxBlockSize = 0;
        std::int64_t minFrameSize = 0;  // 0 when the encoder did not record it
        std::int64_t maxFrameSize = 0;  // 0 when the encoder did not record it
        std::int64_t sampleRate = 0;
        std::int64_t channels = 0;
        std::int64_t bitsPerSample = 0;
        std::uint64_t totalSamples = 0;
        bool operator==(const StreamInfo&) const = default;
    };

    struct FrameHeader {
        std::int64_t byteCount = 0;  // header length including the CRC-8 byte
        std::int64_t blockSizeSamples = 0;
        std::optional<std::int64_t> sampleRate;  // absent: taken from STREAMINFO
        std::int64_t channels = 0;
        bool isVariableBlockSize = false;
        std::uint64_t codedNumber = 0;  // frame number, or first sample when variable
        bool operator==(const FrameHeader&) const = default;
    };

    struct Metadata {
        std::int64_t audioStart = 0;  // first byte after the last metadata block
        StreamInfo streamInfo;
        bool operator==(const Metadata&) const = default;
    };

    struct FrameBoundary {
        std::int64_t end = 0;  // just past the frame's CRC-16 footer
        std::optional<FrameHeader> next;
        bool operator==(const FrameBoundary&) const = default;
    };

    static std::optional<Metadata> walkMetadataBlocks(std::span<const std::byte> bytes);
    // Needs the 34-byte body at the start of `body`.
    static std::optional<StreamInfo> parseStreamInfo(std::span<const std::byte> body);
    // With a StreamInfo, a header that contradicts it is refused (a short last block passes).
    static std::optional<FrameHeader> parseFrameHeader(std::span<const std::byte> bytes,
                                                       std::int64_t at,
                                                       const std::optional<StreamInfo>& streamInfo);
    // One pass from the header's end towards min(size, windowEnd), carrying the CRC-16 along.
    // A footer match followed by a plausible successor ends the frame exactly; without one,
    // the last isolated footer match within the STREAMINFO bound is the fallback end.
    static std::optional<FrameBoundary> scanFrameBoundary(
        std::span<const std::byte> bytes, std::int64_t frameStart, const FrameHeader& header,
        std::int64_t windowEnd, const std::optional<StreamInfo>& streamInfo);
    // The frame's end found from its structure: every subframe and its residual stepped over
    // bit by bit, then the CRC-16 footer, which must match. Nothing when the bits do not parse
    // or the footer does not match. Exact where a footer search can only guess, as for the
    // last frame of a stream, which no successor confirms.
    static std::optional<std::int64_t> frameEndByStructure(std::span<const std::byte> bytes, std::int64_t frameStart,
                                                           const FrameHeader& header,
                                                           const std::optional<StreamInfo>& streamInfo);
    // How far past a frame start a frame may extend: at most 8 MiB.
    static std::int64_t maxFrameWindow(const std::optional<StreamInfo>& streamInfo);
    static bool isPlausibleSuccessor(const FrameHeader& candidate, const FrameHeader& previous);

    // CRCs of [from, to); an empty or out-of-range span gives 0.
    static std::uint8_t crc8(std::span<const std::byte> bytes, std::int64_t from, std::int64_t to);
    static std::uint16_t crc16(std::span<const std::byte> bytes, std::int64_t from,
                               std::int64_t to);
    static std::uint16_t crc16Update(std::uint16_t crc, std::uint8_t byte);
};

}  // namespace quarlin
