// The scan engine: one sequential pass over any block source, in large reads with the next
// ones in flight, that finds files of the chosen formats by their marks, measures each with
// its walker and writes it out while its bytes are still in memory.
//
// Memory is bounded whatever the source: a few chunks in flight and one extension buffer of
// at most maxWalkBytes, in which a file that runs past the chunk at hand is walked again. A
// file longer than that is measured by the length it declares where its format declares
// one (PST, XAR, UDIF, a Matroska Segment), and is copied from the source piece by piece.
// The records of the files found are kept on disk (FoundFiles), a few thousand at most held.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QuarlinCore/io/BlockReader.h"
#include "QuarlinCore/io/ScanPauseToken.h"
#include "QuarlinCore/model/FileRecord.h"
#include "QuarlinCore/recovery/CarvedFormat.h"
#include "QuarlinCore/recovery/FoundFiles.h"

namespace quarlin::recovery {

struct ScanProgress {
    std::uint64_t position = 0;  // every candidate before it has been looked at
    std::uint64_t rangeFrom = 0;
    std::uint64_t rangeEnd = 0;
    std::array<std::int64_t, kCarvedFormatCount> filesFound{};
};

struct ScanOptions {
    std::uint64_t from = 0;
    std::optional<std::uint64_t> length{};  // to the end of the source when absent
    FormatSet formats = FormatSet().set();
    bool unaligned = false;  // look at every byte, not only at 512-byte boundaries
    // Where found files are written as `<offset, 16 hex digits>.<ext>`; none: report only.
    std::optional<std::filesystem::path> filesDirectory{};
    // Candidates before this offset lie inside files found by an earlier, resumed scan.
    std::uint64_t coveredUntil = 0;
    // Where the range of a resumed scan began: a disk image, found by its trailer, may begin
    // anywhere after it, before `from` too. `from` when absent.
    std::optional<std::uint64_t> filesFrom{};
    // Where the records of the files found are added (after those of an earlier scan, say);
    // when absent, the scan keeps them in unnamed files in filesDirectory, else in the
    // temporary folder.
    std::shared_ptr<FoundFiles> found{};

    std::int64_t chunkBytes = std::int64_t{16} << 20;
    std::int64_t maxWalkBytes = std::int64_t{192} << 20;

    // Asked between chunks: true ends the scan cleanly where it is.
    std::function<bool()> stopRequested{};
    std::shared_ptr<ScanPauseToken> pauseToken{};
    std::function<void(const ScanProgress&)> progress{};
    // Called between chunks, at most every checkpointSeconds, with what was found so far
    // (every file of it written), where a resumed scan would go on and with what coveredUntil,
    // and the areas found unreadable: the caller saves its report there.
    std::function<void(FoundFiles&, std::uint64_t resumeAt, std::uint64_t coveredUntil,
                       const std::vector<DataExtent>& unreadable)>
        checkpoint{};
    double checkpointSeconds = 2.0;
};

struct ScanOutcome {
    // Null only when the records could not be kept anywhere (error says why).
    std::shared_ptr<FoundFiles> files;
    std::uint64_t rangeFrom = 0;
    std::uint64_t rangeEnd = 0;
    std::uint64_t stoppedAt = 0;  // a resumed scan goes on from here; rangeEnd when finished
    // and with this coveredUntil: candidates before it lie inside files kept in `files`
    std::uint64_t coveredUntil = 0;
    bool finished = false;
    std::optional<std::string> error;  // why the scan ended early, when it did not stop on request
    // Blocks of the pass that could not be read (a failing disk's bad sectors) were scanned as
    // zeros; this many bytes of them.
    std::uint64_t unreadableBytes = 0;
    // Where they lie, joined and in order, with any met by a walk reading ahead of the pass.
    std::vector<DataExtent> unreadable;
};

// `sourceBytes` is how many bytes the reader serves (whole blocks). Unreadable blocks are
// passed over (see unreadableBytes); a chunk that cannot be read at all, a read error outside
// the pass (a walk's extension, a file copied from the source) and write errors end the scan
// with `error` set; what was found and written before stays valid.
ScanOutcome scanSource(BlockReader& reader, std::uint64_t sourceBytes, const ScanOptions& options);

// "00000000001f4000.flac"
std::string foundFileName(std::uint64_t offset, std::string_view extension);

// Reads [offset, offset + length) of the source in bounded pieces, handing each to `use`;
// false with `error` set when a read fails or `use` returns false (having set it). With
// `unreadable`, a piece whose read fails is read again around its bad blocks, which are handed
// on as zeros and counted there; only a piece of which nothing can be read, with no block after
// it on the source readable either (a source that went away), fails. `beforeRetry` is called
// before each of those reads and may throw to end them. With `unreadableRanges`, the bad
// blocks' ranges are added to it as well.
bool readSourceRange(BlockReader& reader, std::uint64_t sourceBytes, std::uint64_t offset,
                     std::uint64_t length,
                     const std::function<bool(std::span<const std::byte>)>& use,
                     std::string& error, std::uint64_t* unreadable = nullptr,
                     const std::function<void()>& beforeRetry = {},
                     std::vector<DataExtent>* unreadableRanges = nullptr);

}  // namespace quarlin::recovery
