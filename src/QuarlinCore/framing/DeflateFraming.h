// Where a raw deflate stream (no zlib or gzip wrapper) ends, found by inflating it: compressed
// length, inflated length and CRC-32 of the inflated bytes, so a carver can compare them with
// what a container declares. Inflated bytes go to one reused buffer and are thrown away.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace quarlin {

struct DeflateFraming {
    enum class ScanState { needsMoreInput, finished, corrupt };

    // Inflates input that arrives in pieces. One caller at a time.
    class RawInflateScanner {
      public:
        static constexpr std::int64_t minimumScratchSize = 4096;

        // Nothing when zlib cannot be set up, or when the scratch size does not fit zlib's
        // 32-bit lengths. Sizes below the minimum are raised to it.
        static std::unique_ptr<RawInflateScanner> make(std::int64_t scratchSize);

        RawInflateScanner(const RawInflateScanner&) = delete;
        RawInflateScanner& operator=(const RawInflateScanner&) = delete;
        ~RawInflateScanner();

        // Feeds one chunk, of any size (it is handed to zlib in 32-bit pieces). Once the state
        // has left needsMoreInput, further chunks are ignored.
        ScanState consume(std::span<const std::byte> chunk);

        ScanState state() const { return state_; }
        std::uint64_t totalIn() const {
            return totalIn_;
        }  // bytes after the stream's end not counted
        std::uint64_t totalOut() const { return totalOut_; }
        std::uint32_t outputCRC32() const { return crc_; }
        std::int64_t scratchSize() const { return static_cast<std::int64_t>(scratchSize_); }

      private:
        explicit RawInflateScanner(std::size_t scratchSize);
        void consumePiece(std::span<const std::byte> piece);  // at most 4 GiB - 1

        z_stream stream_{};
        // Left uninitialised: zlib writes each byte before it is read, and a scan makes a
        // scanner for every candidate, where zeroing 256 KiB cost more than most inflates.
        std::unique_ptr<Bytef[]> scratch_;
        std::size_t scratchSize_;
        ScanState state_ = ScanState::needsMoreInput;
        std::uint32_t crc_ = 0;
        std::uint64_t totalIn_ = 0;
        std::uint64_t totalOut_ = 0;
    };

    struct Scan {
        std::int64_t compressedLength;
        std::uint64_t outputLength;
        std::uint32_t crc32;
        friend bool operator==(const Scan&, const Scan&) = default;
    };

    static constexpr std::int64_t scanScratchSize = 0x40000;
    static constexpr std::int64_t scanChunkSize = 0x400000;

    // Present only when a complete, valid raw deflate stream starts at `at` and ends inside
    // `bytes`; memory use does not depend on how far the stream inflates.
    static std::optional<Scan> scanRawStream(std::span<const std::byte> bytes, std::int64_t at);

    // zlib's CRC-32 of all bytes, from the CRC of no data.
    static std::uint32_t crc32Checksum(std::span<const std::byte> bytes);

    // Raw deflate at level 1 in one pass; nothing when zlib fails or the input does not fit
    // zlib's 32-bit lengths.
    static std::optional<std::vector<std::byte>> deflateRaw(std::span<const std::byte> bytes);
};

}  // namespace quarlin
