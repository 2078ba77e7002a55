#include "QuarlinCore/recovery/Scanner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <tuple>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "QuarlinCore/framing/CRC32.h"
#include "QuarlinCore/io/IOError.h"
#include "QuarlinCore/model/DataLayout.h"
#include "QuarlinCore/recovery/FileWriter.h"
#include "QuarlinCore/recovery/ScanReport.h"

namespace quarlin::recovery {
namespace {

constexpr std::int64_t kAlignment = 512;
constexpr std::int64_t kChunksInFlight = 2;
constexpr std::int64_t kCopyPieceBytes = std::int64_t{8} << 20;
// Bytes of found files waiting for the writer thread.
constexpr std::size_t kQueuedFileBytes = std::size_t{64} << 20;
// Records of found files held before they are kept on disk.
constexpr std::size_t kPendingFiles = 4096;
// Marks are at most this long; near a chunk's end a candidate is checked in the bytes that
// follow it.
constexpr std::int64_t kMarkBytes = 16;

std::uint64_t alignDown(std::uint64_t value, std::uint64_t unit) { return value - value % unit; }
std::uint64_t alignUp(std::uint64_t value, std::uint64_t unit) {
    return value % unit ? value + (unit - value % unit) : value;
}

// Bytes of the source from `start` on. They never change once held, so the file writer may
// keep the buffer alive and write a found file straight from it.
struct Held {
    Held() = default;
    Held(std::uint64_t at, Data data) : start(at), buffer(std::make_shared<const Data>(std::move(data))) {}
    std::uint64_t start = 0;
    std::shared_ptr<const Data> buffer = std::make_shared<const Data>();
    std::uint64_t end() const { return start + buffer->size(); }
    bool holds(std::uint64_t at, std::uint64_t length) const {
        return at >= start && at <= end() && length <= end() - at;
    }
    std::span<const std::byte> from(std::uint64_t at) const {
        return std::span<const std::byte>(*buffer).subspan(static_cast<std::size_t>(at - start));
    }
};

// Reads [offset, offset + length) of the source, both multiples of the block size, in one call.
Data readRange(BlockReader& reader, std::uint64_t offset, std::uint64_t length) {
    const auto blockSize = static_cast<std::uint64_t>(reader.blockSize());
    return runtime::runBlocking(reader.readBlocks(offset / blockSize, static_cast<std::int64_t>(length / blockSize)));
}

// What reads around bad blocks learn of a failing source, kept from one read to the next.
struct BadAreas {
    std::uint64_t endsNoEarlierThan = 0;  // where the last read ended inside a bad area
    std::uint64_t readableAt = 0;         // a block known to read, past the last bad area probed
    // Called before each read after a failure, since each failed read of a dying disk may take
    // minutes and a pause or a stop must not wait for a whole bad area: it waits while the scan
    // is paused and throws ScanStopped when it is to stop.
    std::function<void()> beforeRetry;
};

struct ScanStopped {};

// Reads [start, start + length) of a failing source around its bad blocks: a piece of 64 KiB at
// a time, and a piece that fails a block at a time. Blocks that cannot be read are zeros, and
// `lost(from, to)` hears of each. Each failed read of a dying disk may take seconds, so once a
// few blocks in a row fail the read is in a bad area, whose end is looked for rather than
// walked to: blocks at doubling distances until one reads, then halving the gap between the
// last that failed and the first that read. A large bad area costs a few dozen failed reads,
// and its end is found to the block; readable blocks inside it are lost with it. A read that
// starts where the last one ended inside a bad area looks for its end at once.
template <class Lost>
Data readAroundBadBlocks(BlockReader& reader, std::uint64_t start, std::uint64_t length, Lost lost, BadAreas& areas) {
    constexpr std::uint64_t kPiece = 64 << 10;
    constexpr int kBadBlocksInARow = 32;
    const auto blockSize = static_cast<std::uint64_t>(reader.blockSize());
    const std::uint64_t end = start + length;
    Data data(length);
    const auto readInto = [&](std::uint64_t at, std::uint64_t bytes) {
        try {
            const Data piece = readRange(reader, at, bytes);
            if (piece.size() != bytes) return false;
            std::memcpy(data.data() + (at - start), piece.data(), bytes);
            return true;
        } catch (const IOError&) {
            return false;
        }
    };
    const auto lose = [&](std::uint64_t from, std::uint64_t to) {
        std::memset(data.data() + (from - start), 0, to - from);
        lost(from, to);
    };
    const auto readable = [&](std::uint64_t at) {
        try {
            return readRange(reader, at, blockSize).size() == blockSize;
        } catch (const IOError&) {
            return false;
        }
    };
    const auto beforeRetry = [&] {
        if (areas.beforeRetry) areas.beforeRetry();
    };
    bool inBadArea = areas.endsNoEarlierThan == start && start > 0;
    for (std::uint64_t at = start; at < end;) {
        beforeRetry();
        const std::uint64_t bytes = std::min(kPiece, end - at);
        if (readInto(at, bytes)) {
            at += bytes;
            inBadArea = false;
            continue;
        }
        if (!inBadArea) {
            const std::uint64_t pieceEnd = at + bytes;
            int badInARow = 0;
            for (; at < pieceEnd && badInARow < kBadBlocksInARow; at += blockSize) {
                beforeRetry();
                if (readInto(at, blockSize)) {
                    badInARow = 0;
                } else {
                    lose(at, at + blockSize);
                    ++badInARow;
                }
            }
            inBadArea = badInARow >= kBadBlocksInARow;
            continue;
        }
        // In a bad area that goes on at `at`. Blocks at doubling distances, then the first block
        // after the range, show whether it ends inside the range; if it does, the gap between
        // the last block that failed and the first that read is halved down to one block.
        std::uint64_t failed = at, good = end;
        bool ends = false;
        for (std::uint64_t distance = kPiece; at + distance < end && !ends; distance *= 2) {
            beforeRetry();
            if (readable(at + distance)) {
                good = at + distance;
                ends = true;
            } else {
                failed = at + distance;
            }
        }
        if (!ends) ends = readable(end);
        while (ends && good - failed > blockSize) {
            beforeRetry();
            const std::uint64_t middle = failed + alignDown((good - failed) / 2, blockSize);
            (readable(middle) ? good : failed) = middle;
        }
        lose(at, good);
        at = good;
        inBadArea = !ends;
    }
    areas.endsNoEarlierThan = inBadArea ? end : 0;
    return data;
}

// Whether a block at `at`, at growing distances after it (64 KiB, 1 MiB, 16 MiB, ...) or the
// last before `end` can be read; the block found is kept in `areas`, so that the reads of a
// large bad area before it do not probe again.
inline bool readsAtOrAfter(BlockReader& reader, std::uint64_t at, std::uint64_t end, BadAreas& areas) {
    const auto blockSize = static_cast<std::uint64_t>(reader.blockSize());
    if (at <= areas.readableAt) return true;
    if (at + blockSize > end) return false;
    const std::uint64_t last = end - blockSize;
    for (std::uint64_t distance = 0;; distance = distance == 0 ? 64 << 10 : distance * 16) {
        const std::uint64_t probe = distance > last - at ? last : at + distance;
        try {
            readRange(reader, probe, blockSize);
            areas.readableAt = probe;
            return true;
        } catch (const IOError&) {
        }
        if (probe == last) return false;
    }
}

// Reads [start, start + length) in one call; when that fails, again around its bad blocks (as
// readAroundBadBlocks). The failure is rethrown only when none of the range can be read and no
// block after it up to `sourceEnd` either: then the source has gone away, not gone bad.
template <class Lost>
Data readOrAroundBadBlocks(BlockReader& reader, std::uint64_t start, std::uint64_t length, std::uint64_t sourceEnd,
                           BadAreas& areas, Lost lost) {
    try {
        return readRange(reader, start, length);
    } catch (const IOError&) {
        const std::exception_ptr failure = std::current_exception();
        std::uint64_t total = 0;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> bad;
        Data data = readAroundBadBlocks(
            reader, start, length,
            [&](std::uint64_t from, std::uint64_t to) {
                total += to - from;
                bad.emplace_back(from, to);
            },
            areas);
        if (total >= length && !readsAtOrAfter(reader, start + length, sourceEnd, areas))
            std::rethrow_exception(failure);
        for (const auto& [from, to] : bad) lost(from, to);
        return data;
    }
}

// The chunks of the pass, read ahead in order. Reads still in flight are waited for on
// destruction, so no read outlives the reader's caller.
class ChunkPipeline {
public:
    ChunkPipeline(BlockReader& reader, std::uint64_t start, std::uint64_t end, std::uint64_t chunkBytes)
        : reader_(reader), next_(start), end_(end), chunkBytes_(chunkBytes) {}

    // Called between the reads around bad blocks (see BadAreas).
    void beforeRetry(std::function<void()> call) { badAreas_.beforeRetry = std::move(call); }
    ~ChunkPipeline() {
        for (auto& [start, length, future] : inFlight_)
            if (future.valid()) future.wait();
    }

    bool empty() { return inFlight_.empty() && next_ >= end_; }

    // The next chunk in order. A chunk whose read fails is read again around its unreadable
    // blocks; throws what the read threw when none of it can be read.
    Held take() {
        fill();
        auto [start, length, future] = std::move(inFlight_.front());
        inFlight_.pop_front();
        Data data;
        try {
            data = future.get();
        } catch (const IOError&) {
            data = readAround(start, length, true);
        }
        Held chunk(start, std::move(data));
        fill();
        return chunk;
    }

    // Bytes ahead of the pass that a walk wants, read as their chunk will be: bad blocks are
    // zeros, noted now and counted when their chunk is taken.
    Data readAhead(std::uint64_t start, std::uint64_t length) { return readAround(start, length, false); }

    std::vector<DataExtent> unreadableRanges() const {
        std::vector<DataExtent> ranges;
        for (const auto& [from, to] : unreadableRanges_) ranges.push_back({from, to - from});
        return ranges;
    }

    // Bytes of the chunks taken so far that could not be read and were taken as zeros.
    std::uint64_t unreadableBytes() const { return unreadable_; }

    // How many of the bytes [from, to) of the chunks taken so far could not be read.
    std::uint64_t unreadableWithin(std::uint64_t from, std::uint64_t to) const {
        std::uint64_t within = 0;
        auto range = std::upper_bound(unreadableRanges_.begin(), unreadableRanges_.end(), from,
                                      [](std::uint64_t at, const auto& r) { return at < r.second; });
        for (; range != unreadableRanges_.end() && range->first < to; ++range)
            within += std::min(range->second, to) - std::max(range->first, from);
        return within;
    }

    // Notes blocks [from, to) as unreadable, in order of the source and once, whether met in
    // their chunk or first by a walk reading ahead. Past kMostRanges a range stretches over the
    // next: a file is then taken as touching bad blocks when it may not, never the other way.
    void noteUnreadable(std::uint64_t from, std::uint64_t to) {
        constexpr std::size_t kMostRanges = 1 << 16;
        auto& ranges = unreadableRanges_;
        // The first range that ends at or after `from`.
        auto range = std::lower_bound(ranges.begin(), ranges.end(), from,
                                      [](const auto& r, std::uint64_t at) { return r.second < at; });
        if (range != ranges.end() && range->first <= from) {
            range->second = std::max(range->second, to);
        } else if (ranges.size() >= kMostRanges && range != ranges.begin()) {
            range = std::prev(range);
            range->second = to;
        } else {
            range = ranges.insert(range, {from, to});
        }
        // Joined with the ranges it now reaches.
        while (std::next(range) != ranges.end() && std::next(range)->first <= range->second) {
            range->second = std::max(range->second, std::next(range)->second);
            ranges.erase(std::next(range));
        }
    }

private:
    void fill() {
        const auto blockSize = static_cast<std::uint64_t>(reader_.blockSize());
        while (static_cast<std::int64_t>(inFlight_.size()) < kChunksInFlight && next_ < end_) {
            const std::uint64_t length = std::min(chunkBytes_, end_ - next_);
            inFlight_.emplace_back(next_, length,
                                   runtime::spawnFuture(reader_.readBlocks(
                                       next_ / blockSize, static_cast<std::int64_t>(length / blockSize))));
            next_ += length;
        }
    }

    // A failing disk's bad blocks are passed over as zeros. A chunk of which nothing can be
    // read fails, unless blocks after it still read: then it lies in a large bad area of a
    // failing disk, not on a source that went away. Counted when `count`.
    Data readAround(std::uint64_t start, std::uint64_t length, bool count) {
        return readOrAroundBadBlocks(reader_, start, length, end_, badAreas_, [&](std::uint64_t from, std::uint64_t to) {
            noteUnreadable(from, to);
            if (count) unreadable_ += to - from;
        });
    }

    BlockReader& reader_;
    std::uint64_t next_;
    const std::uint64_t end_;
    const std::uint64_t chunkBytes_;
    std::deque<std::tuple<std::uint64_t, std::uint64_t, std::future<Data>>> inFlight_;  // start, length, read
    std::uint64_t unreadable_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadableRanges_;  // [from, to), in order
    BadAreas badAreas_;
};

// Calls `visit` with every index of "koly" in `bytes`, in order. Sixteen positions a step are
// sifted by their first and last byte before the whole mark is compared: the search runs at
// memory speed over data where "k" alone is common.
template <class Visit>
void forEachTrailerMark(std::span<const std::byte> bytes, Visit visit) {
    constexpr std::size_t kMark = 4;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8('k'), last = _mm_set1_epi8('y');
    for (; i + 16 + kMark - 1 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + kMark - 1));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
        while (mask) {
            const auto bit = static_cast<std::size_t>(__builtin_ctz(mask));
            if (std::memcmp(p + i + bit, "koly", kMark) == 0) visit(i + bit);
            mask &= mask - 1;
        }
    }
#endif
    for (; i + kMark <= n; ++i)
        if (p[i] == 'k' && std::memcmp(p + i, "koly", kMark) == 0) visit(i);
}

bool writeAll(int fd, std::span<const std::byte> bytes) { return writeAllTo(fd, bytes.data(), bytes.size()); }

class Scan {
public:
    Scan(BlockReader& reader, std::uint64_t sourceBytes, const ScanOptions& options)
        : reader_(reader),
          options_(options),
          blockSize_(static_cast<std::uint64_t>(std::max<std::int64_t>(reader.blockSize(), 1))),
          sourceEnd_(alignDown(sourceBytes, blockSize_)),
          chunkBytes_(std::max<std::uint64_t>(alignUp(static_cast<std::uint64_t>(options.chunkBytes), kAlignment * blockSize_), kAlignment * blockSize_)),
          maxWalk_(std::max<std::int64_t>(options.maxWalkBytes, options.chunkBytes)) {
        outcome_.rangeFrom = std::min(options.from, sourceEnd_);
        const std::uint64_t length = options.length.value_or(sourceEnd_);
        outcome_.rangeEnd = outcome_.rangeFrom + std::min(length, sourceEnd_ - outcome_.rangeFrom);
        coveredUntil_ = keptCoveredUntil_ = options.coveredUntil;
        lastCheckpoint_ = std::chrono::steady_clock::now();
        if (options.filesDirectory) writer_.emplace(*options.filesDirectory, kQueuedFileBytes);
        found_ = options.found;
    }

    ScanOutcome run() {
        if (!found_) {
            auto made = FoundFiles::create(options_.filesDirectory.value_or(std::filesystem::temp_directory_path()));
            if (!made) {
                outcome_.error = made.error();
                outcome_.stoppedAt = outcome_.rangeFrom;
                outcome_.coveredUntil = keptCoveredUntil_;
                return std::move(outcome_);
            }
            found_ = *made;
        }
        outcome_.files = found_;
        const std::uint64_t firstChunk = alignDown(outcome_.rangeFrom, chunkBytes_);
        std::uint64_t position = outcome_.rangeFrom;
        outcome_.stoppedAt = position;
        ChunkPipeline pipeline(reader_, firstChunk, alignUp(outcome_.rangeEnd, blockSize_), chunkBytes_);
        pipeline.beforeRetry(betweenReads());
        try {
            while (position < outcome_.rangeEnd) {
                if (options_.stopRequested && options_.stopRequested()) break;
                if (options_.pauseToken) runtime::runBlocking(options_.pauseToken->waitWhilePaused());
                if (next_) {
                    current_ = std::move(*next_);
                    next_.reset();
                } else {
                    current_ = pipeline.take();
                }
                pipeline_ = &pipeline;
                const std::uint64_t end = std::min(current_.end(), outcome_.rangeEnd);
                if (!scanChunk(position, end) || writerFailed()) break;
                position = end;
                outcome_.stoppedAt = position;
                reportProgress(position);
            }
        } catch (const ScanStopped&) {
            // Asked to stop inside a bad area: a candidate whose walk was reading it is looked
            // at again when the scan resumes, every one before it has been.
            if (examining_) outcome_.stoppedAt = *examining_;
        } catch (const IOError& error) {
            outcome_.error = error.errorDescription();
        } catch (const std::bad_alloc&) {
            outcome_.error = "out of memory";
        }
        outcome_.unreadableBytes = pipeline.unreadableBytes();
        outcome_.unreadable = pipeline.unreadableRanges();
        pipeline_ = nullptr;
        keepFound();
        outcome_.coveredUntil = keptCoveredUntil_;
        outcome_.finished = !outcome_.error && outcome_.stoppedAt >= outcome_.rangeEnd;
        return std::move(outcome_);
    }

private:
    struct Pending {
        CarvedFormat format;
        FileRecord record;  // layout: one extent at the file's byte offset on the source
        std::uint64_t covers;  // candidates before this offset lie inside the file; 0: none
    };

    // Between reads that may each take long (around bad blocks, of a large file copied from the
    // source): waits while the scan is paused, and throws ScanStopped when it is to stop.
    std::function<void()> betweenReads() {
        return [this] {
            if (options_.pauseToken) runtime::runBlocking(options_.pauseToken->waitWhilePaused());
            if (options_.stopRequested && options_.stopRequested()) throw ScanStopped{};
        };
    }

    // Looks at every candidate in [from, end) of the current chunk. False when the scan must
    // end (a write failed): outcome_.error and outcome_.stoppedAt then say why and where.
    bool scanChunk(std::uint64_t from, std::uint64_t end) {
        const std::uint64_t step = options_.unaligned ? 1 : kAlignment;
        std::uint64_t p = alignUp(from, step);
        const auto chunk = std::span<const std::byte>(*current_.buffer);
        // A UDIF trailer ends its image wherever the image ends, so in aligned scans trailers
        // are looked for at every byte too, and visited in order with the boundaries.
        std::vector<std::uint64_t> trailers;
        if (!options_.unaligned && contains(options_.formats, CarvedFormat::udif)) trailers = trailersIn(from, end);
        auto trailer = trailers.begin();
        while (p < end || trailer != trailers.end()) {
            if (trailer != trailers.end() && (p >= end || *trailer < p)) {
                const std::uint64_t at = *trailer++;
                // A failed write has set the error and where the scan stopped.
                if (at >= coveredUntil_ && !examine(CarvedFormat::udif, at)) return false;
                examining_.reset();
                continue;
            }
            if (p < coveredUntil_) {
                p = alignUp(coveredUntil_, step);
                continue;
            }
            if (options_.unaligned) {
                const std::uint64_t stop = std::min(end, current_.end());
                while (p < stop && !kMarkFirstBytes[std::to_integer<std::uint8_t>(chunk[p - current_.start])]) ++p;
                if (p >= end) continue;
            }
            std::optional<CarvedFormat> format;
            if (current_.end() - p >= static_cast<std::uint64_t>(kMarkBytes)) {
                format = markAt(chunk, static_cast<std::int64_t>(p - current_.start), options_.formats);
            } else {
                format = markAt(bytesFrom(p, kMarkBytes), 0, options_.formats);
            }
            if (format && !examine(*format, p)) return false;
            examining_.reset();
            p += step;
        }
        return true;
    }

    // Positions in [from, end) of the current chunk where "koly" stands off a 512-byte boundary.
    std::vector<std::uint64_t> trailersIn(std::uint64_t from, std::uint64_t end) {
        std::vector<std::uint64_t> found;
        const std::uint64_t stop = std::min(end + 3, current_.end());
        if (stop <= from) return found;
        const auto bytes = std::span<const std::byte>(*current_.buffer)
                               .subspan(static_cast<std::size_t>(from - current_.start),
                                        static_cast<std::size_t>(stop - from));
        forEachTrailerMark(bytes, [&](std::size_t i) {
            const std::uint64_t at = from + i;
            if (at < end && at % kAlignment != 0) found.push_back(at);
        });
        // A mark cut by the chunk's end is completed from the bytes after it.
        for (std::uint64_t at = std::max(from + 3, stop) - 3; stop == current_.end() && at < end; ++at) {
            const auto tail = std::string_view(reinterpret_cast<const char*>(bytes.data()) + (at - from), stop - at);
            if (at % kAlignment == 0 || !std::string_view("koly").starts_with(tail)) continue;
            const auto whole = bytesFrom(at, 4);
            if (whole.size() >= 4 && std::memcmp(whole.data(), "koly", 4) == 0) found.push_back(at);
        }
        return found;
    }

    // Bytes from `at` on, at least `want` of them where the source and the walk bound allow:
    // the current chunk when it holds them, else the extension buffer, refilled when needed.
    std::span<const std::byte> bytesFrom(std::uint64_t at, std::int64_t want) {
        const std::uint64_t wanted = std::min({static_cast<std::uint64_t>(want), sourceEnd_ - at,
                                               static_cast<std::uint64_t>(maxWalk_)});
        if (current_.holds(at, wanted)) return current_.from(at);
        if (extension_.holds(at, wanted)) return extension_.from(at);
        // Twice what is wanted, and a quarter chunk at least: candidates near a chunk's end
        // share one fill, and a walk that asks for more refills a few times at most, while a
        // small file across a chunk's end costs no copy of whole chunks.
        const std::uint64_t length = std::min({std::max<std::uint64_t>(2 * wanted, chunkBytes_ / 4), sourceEnd_ - at,
                                               static_cast<std::uint64_t>(maxWalk_)});
        const std::uint64_t start = alignDown(at, blockSize_);
        const std::uint64_t stop = std::min(alignUp(at + length, blockSize_), sourceEnd_);
        extension_ = Held();  // what it held is not kept: its buffer goes back before a new one is taken
        Data bytes(stop - start);
        fill(bytes, start, stop);
        extension_ = Held(start, std::move(bytes));
        return extension_.from(at);
    }

    // Fills `target`, the bytes [start, stop), from the held chunks where they overlap, reading
    // the rest from the source. The next chunk of the pass is taken from the pipeline once, so
    // that its bytes are not read twice.
    void fill(Data& target, std::uint64_t start, std::uint64_t stop) {
        if (!next_ && pipeline_ && stop > current_.end() && current_.end() < outcome_.rangeEnd &&
            !pipelineEmpty())
            next_ = pipeline_->take();
        std::uint64_t at = start;
        while (at < stop) {
            const Held* source = nullptr;
            for (const Held* held : {&current_, next_ ? &*next_ : nullptr})
                if (held && held->holds(at, 1)) source = held;
            std::uint64_t pieceEnd;
            if (source) {
                pieceEnd = std::min(stop, source->end());
                std::memcpy(target.data() + (at - start), source->from(at).data(), pieceEnd - at);
            } else {
                pieceEnd = std::min(stop, at + static_cast<std::uint64_t>(kCopyPieceBytes));
                for (const Held* held : {&current_, next_ ? &*next_ : nullptr})
                    if (held && held->start > at && held->start < pieceEnd) pieceEnd = held->start;
                const Data piece = pipeline_ ? pipeline_->readAhead(at, pieceEnd - at) : readRange(reader_, at, pieceEnd - at);
                std::memcpy(target.data() + (at - start), piece.data(), piece.size());
            }
            at = pieceEnd;
        }
    }

    bool pipelineEmpty() { return pipeline_->empty(); }

    // Measures the candidate, growing its bytes while the walk asks for more, and keeps the
    // file when one is there. False when the file could not be written.
    bool examine(CarvedFormat format, std::uint64_t at) {
        examining_ = at;  // left set when a stop inside a bad area ends the walk
        const auto toSourceEnd = static_cast<std::int64_t>(sourceEnd_ - at);
        const bool checks = mayCheck(at);
        // The rest of the chunk, and past its end at least the bytes that hold any format's
        // headers: a walk given a few bytes would take a file cut by the chunk's end for none.
        auto bytes = bytesFrom(at, std::min(std::max(static_cast<std::int64_t>(current_.end() - at), kFirstWalkBytes), toSourceEnd));
        auto measured = measure(format, bytes, toSourceEnd, checks);
        // Each round at least doubles the bytes, up to the walk bound: a few rounds at most.
        while (measured && measured->bytesWanted > static_cast<std::int64_t>(bytes.size()) &&
               static_cast<std::int64_t>(bytes.size()) < std::min(maxWalk_, toSourceEnd)) {
            const std::int64_t want = std::max(measured->bytesWanted, 2 * static_cast<std::int64_t>(bytes.size()));
            bytes = bytesFrom(at, want);
            measured = measure(format, bytes, toSourceEnd, checks);
        }
        if (!measured || measured->length <= 0) return true;
        if (checks && (format == CarvedFormat::pst || format == CarvedFormat::xar) &&
            measured->length <= static_cast<std::int64_t>(bytes.size()))
            checkedBytes_ += static_cast<std::uint64_t>(measured->length);
        // A walk stopped by the bound on its bytes, not by the file: what it measured is a
        // lower bound, or the length the file declares.
        std::uint64_t lostInCheck = 0;
        if (measured->bytesWanted > static_cast<std::int64_t>(bytes.size()) &&
            static_cast<std::int64_t>(bytes.size()) >= maxWalk_) {
            if (measured->checkFromSource)
                measured->verdict = checkFromSource(format, at, bytes, measured->length, toSourceEnd, lostInCheck);
            else
                measured->verdict = IntegrityVerdict::mayBePartial(
                    measured->declaredOnly ? "longer than a walk may hold in memory: measured by the length it declares"
                                           : "longer than a walk may hold in memory: measured as far as a walk goes");
        }
        const std::int64_t start = static_cast<std::int64_t>(at) + measured->start;
        if (start < static_cast<std::int64_t>(std::min(options_.filesFrom.value_or(outcome_.rangeFrom), outcome_.rangeFrom)) ||
            start < 0)
            return true;
        const auto offset = static_cast<std::uint64_t>(start);
        const auto length = std::min(static_cast<std::uint64_t>(measured->length), sourceEnd_ - offset);
        if (measured->rangeCRC &&
            std::holds_alternative<IntegrityVerdict::LooksIntact>(measured->verdict.value())) {
            if (mayCheck(at)) {
                checkedBytes_ += static_cast<std::uint64_t>(measured->rangeCRC->length);
                measured->verdict = checkRangeCRC(offset, *measured->rangeCRC);
            } else {
                measured->verdict = IntegrityVerdict::mayBePartial(std::string(kContentsNotChecked));
            }
        }
        const std::uint64_t lostInPass =
            std::max(pipeline_ ? pipeline_->unreadableWithin(offset, offset + length) : 0, lostInCheck);
        markUnreadable(measured->verdict, lostInPass);
        const bool intact = std::holds_alternative<IntegrityVerdict::LooksIntact>(measured->verdict.value());

        std::string name = foundFileName(offset, measured->extension);
        std::uint64_t unreadable = 0;
        if (writer_ && !writeFile(name, at, offset, length, unreadable)) return false;
        if (lostInPass == 0) markUnreadable(measured->verdict, unreadable);  // else counted already
        FileRecord record(UUID::random(), name, std::nullopt, length, std::nullopt, measured->verdict,
                          reader_.deviceIdentity(), DataLayout::extents({DataExtent{offset, length}}), std::nullopt,
                          std::nullopt);
        // Marks inside a file belong to it (an MP3 frame run in a Matroska file, a zip in a
        // RAR, the entries of a cut zip). Only a length that nothing but a header vouches for
        // leaves its bytes open to the search.
        const std::uint64_t covers = intact || !measured->declaredOnly ? offset + length : 0;
        coveredUntil_ = std::max(coveredUntil_, covers);
        pending_.push_back(Pending{format, std::move(record), covers});
        candidates_.push_back(at);
        ++progress_.filesFound[static_cast<std::size_t>(format)];
        if (pending_.size() >= kPendingFiles && !keepFound(false)) return false;
        return true;
    }

    // Checks the checksums of a file longer than a walk holds, reading it from the source in
    // any order: from the bytes held where they are; small reads (a PST's pages and blocks)
    // through a few 64 KiB windows, the least recently used replaced; long ones (a XAR's stored
    // pieces) in pieces as they come. `lost` counts the bytes that could not be read (bad blocks).
    IntegrityVerdict checkFromSource(CarvedFormat format, std::uint64_t at, std::span<const std::byte> head,
                                     std::int64_t& length, std::int64_t toSourceEnd, std::uint64_t& lost) {
        constexpr std::uint64_t kWindow = 64 << 10;
        constexpr std::size_t kWindows = 64;
        struct Window {
            std::uint64_t start = 0;
            Data bytes;
            std::uint64_t used = 0;
        };
        std::vector<Window> windows;
        std::uint64_t uses = 0;
        const auto between = betweenReads();
        // A bad area may be read more than once (a window read again, windows that overlap):
        // its ranges are kept, and only the file's bytes among them counted, once.
        std::vector<DataExtent> lostRanges;
        const auto countLost = [&] {
            for (const auto& range : joinedRanges(std::move(lostRanges))) {
                const std::uint64_t from = std::max(range.volumeByteOffset, at);
                const std::uint64_t to = std::min(range.volumeByteOffset + range.byteLength, at + static_cast<std::uint64_t>(length));
                if (to > from) lost += to - from;
            }
        };
        std::vector<DataExtent> readRanges;  // what the check has read, to find what it has not
        constexpr std::uint64_t kAskEvery = 4 << 20;
        std::uint64_t sinceAsked = kAskEvery;  // asked before the first read
        const auto fromSource = [&](std::uint64_t start, std::uint64_t size,
                                    const std::function<void(std::span<const std::byte>)>& use) {
            readRanges.push_back(DataExtent{start, size});
            if (readRanges.size() >= 65536) readRanges = joinedRanges(std::move(readRanges));
            std::string error;
            std::uint64_t ignored = 0;
            // A pause or a stop takes effect between the reads of a long check, every few MiB
            // as in the pass: the file is looked at again when the scan resumes.
            const auto mayPause = [&](std::uint64_t bytes) {
                if ((sinceAsked += bytes) < kAskEvery) return;
                sinceAsked = 0;
                between();
            };
            mayPause(0);
            if (!readSourceRange(reader_, sourceEnd_, start, size, [&](std::span<const std::byte> piece) {
                    use(piece);
                    mayPause(piece.size());
                    return true;
                }, error, &ignored, between, &lostRanges))
                throw std::runtime_error(error);
        };
        const FileBytes read = [&](std::uint64_t from, std::uint64_t size,
                                   const std::function<void(std::span<const std::byte>)>& use) {
            const std::uint64_t start = at + from;
            for (const Held* held : {&current_, &extension_})
                if (held->holds(start, size)) return use(held->from(start).first(static_cast<std::size_t>(size)));
            if (size > kWindow) return fromSource(start, size, use);
            const auto window = std::ranges::find_if(windows, [&](const Window& w) {
                return start >= w.start && start + size <= w.start + w.bytes.size();
            });
            if (window != windows.end()) {
                window->used = ++uses;
                return use(std::span<const std::byte>(window->bytes).subspan(start - window->start, size));
            }
            Window made{alignDown(start, kWindow), Data(), ++uses};
            made.bytes.reserve(2 * kWindow);
            fromSource(made.start, std::min(alignUp(start + size, kWindow), sourceEnd_) - made.start,
                       [&](std::span<const std::byte> piece) { made.bytes.insert(made.bytes.end(), piece.begin(), piece.end()); });
            if (windows.size() >= kWindows) windows.erase(std::ranges::min_element(windows, {}, &Window::used));
            windows.push_back(std::move(made));
            use(std::span<const std::byte>(windows.back().bytes).subspan(start - windows.back().start, size));
        };
        try {
            length += static_cast<std::int64_t>(bytesPastMeasuredEnd(format, head, static_cast<std::uint64_t>(length),
                                                                     static_cast<std::uint64_t>(toSourceEnd), read));
            checkedBytes_ += static_cast<std::uint64_t>(length);
            auto verdict = checkContents(format, head, static_cast<std::uint64_t>(length), read);
            // Without files written, nothing else reads the file ahead of the pass: the bytes
            // its checks passed over (free space of a PST, a XAR's padding) are read as well,
            // so that a bad block there is known before the file is called intact. Only while
            // they are no more than the checks read and a little: a header that declares a
            // long file around a small tree must not make the scan read the disk ahead.
            if (!writer_) {
                std::uint64_t checksRead = 0;
                for (const auto& range : readRanges = joinedRanges(std::move(readRanges))) checksRead += range.byteLength;
                for (const Held* held : {&current_, &extension_})
                    readRanges.push_back(DataExtent{held->start, held->buffer->size()});
                std::vector<DataExtent> gaps;
                std::uint64_t from = at, gapBytes = 0;
                const std::uint64_t end = at + static_cast<std::uint64_t>(length);
                const auto gap = [&](std::uint64_t to) {
                    if (to > from) gaps.push_back(DataExtent{from, to - from}), gapBytes += to - from;
                };
                for (const auto& range : joinedRanges(std::move(readRanges))) {
                    if (range.volumeByteOffset >= end) break;
                    gap(std::min(range.volumeByteOffset, end));
                    from = std::max(from, range.volumeByteOffset + range.byteLength);
                }
                gap(end);
                if (gapBytes <= checksRead + (std::uint64_t{64} << 20))
                    for (const auto& range : gaps)
                        fromSource(range.volumeByteOffset, range.byteLength, [](std::span<const std::byte>) {});
            }
            countLost();
            return verdict;
        } catch (const std::runtime_error& error) {
            countLost();
            return IntegrityVerdict::mayBePartial(std::string("its checksummed data could not be read: ") + error.what());
        }
    }

    // A file over bad blocks holds zeros where they are, whatever its checks said of them.
    static void markUnreadable(IntegrityVerdict& verdict, std::uint64_t lost) {
        if (lost == 0) return;
        const std::string why = std::to_string(lost) + " bytes of it could not be read (bad blocks) and are zeros";
        if (std::holds_alternative<IntegrityVerdict::LooksIntact>(verdict.value()))
            verdict = IntegrityVerdict::mayBePartial(why);
        else if (const auto* failed = std::get_if<IntegrityVerdict::Failed>(&verdict.value()))
            verdict = IntegrityVerdict::failed(failed->reason + "; " + why);
    }

    // Checks whose cost grows with a length that only a header vouches for (a PST's B-trees, a
    // XAR's digests, a disk image's data fork) are bounded over the whole scan. A hostile source
    // with such a header at every sector would otherwise have each checked over much the same
    // bytes again, at a cost that grows with the square of the source's size; the files of a
    // real source, which do not overlap, need at most about the bytes passed.
    bool mayCheck(std::uint64_t at) const {
        constexpr std::uint64_t kAllowance = std::uint64_t{256} << 20;
        return checkedBytes_ < 4 * (at - std::min(at, outcome_.rangeFrom)) + kAllowance;
    }

    // Checks the CRC-32 of a range of the file at `offset` that the walk was not given: from
    // the chunk or extension that holds it, else read again from the source.
    IntegrityVerdict checkRangeCRC(std::uint64_t offset, const Measurement::RangeCRC& check) {
        const std::uint64_t from = offset + static_cast<std::uint64_t>(check.from);
        const auto length = static_cast<std::uint64_t>(check.length);
        std::uint32_t crc = 0;
        const auto add = [&](std::span<const std::byte> piece) {
            crc = CRC32::update(crc, piece);
            return true;
        };
        std::string error;
        if (current_.holds(from, length)) {
            add(current_.from(from).first(static_cast<std::size_t>(length)));
        } else if (extension_.holds(from, length)) {
            add(extension_.from(from).first(static_cast<std::size_t>(length)));
        } else if (!readSourceRange(reader_, sourceEnd_, from, length, add, error)) {
            return IntegrityVerdict::mayBePartial("its checksummed data could not be read: " +
                                                  error);
        }
        if (crc != check.expected) return IntegrityVerdict::failed("its data fails its CRC-32");
        return IntegrityVerdict::looksIntact();
    }

    // Hands the file to the writer thread, with the buffer that holds it, when its bytes are in
    // memory; a file that is not (longer than a walk holds, or before the chunk at hand) is
    // copied from the source here.
    // `unreadable` counts the file's bytes that could not be read again from the source (bad
    // blocks, written as zeros).
    bool writeFile(const std::string& name, std::uint64_t candidate, std::uint64_t offset, std::uint64_t length,
                   std::uint64_t& unreadable) {
        const Held* held = current_.holds(offset, length)     ? &current_
                           : extension_.holds(offset, length) ? &extension_
                                                              : nullptr;
        if (held) {
            writer_->write(kept_ + pending_.size(), name, held->buffer,
                           held->from(offset).first(static_cast<std::size_t>(length)));
            // A buffer larger than the writer's bound (an extension of a long walk) is written
            // before the scan goes on: the next walk's buffer is never taken while it is held.
            return held->buffer->size() <= kQueuedFileBytes || settleWrites();
        }
        if (!settleWrites()) return false;
        const auto path = *options_.filesDirectory / name;
        const auto partial = *options_.filesDirectory / (name + ".part");
        const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::string error;
        const auto between = betweenReads();
        const auto write = [&](std::span<const std::byte> piece) {
            between();
            if (writeAll(fd, piece)) return true;
            error = "cannot write " + partial.string() + ": " + std::strerror(errno);
            return false;
        };
        bool ok = false;
        try {
            ok = fd >= 0 && readSourceRange(reader_, sourceEnd_, offset, length, write, error, &unreadable, between);
        } catch (const ScanStopped&) {
            ::close(fd);
            ::unlink(partial.c_str());
            throw;
        }
        if (fd >= 0 && ::close(fd) != 0 && ok) ok = false;
        if (ok && std::rename(partial.c_str(), path.c_str()) != 0) ok = false;
        if (!ok) {
            if (error.empty()) error = "cannot write " + partial.string() + ": " + std::strerror(errno);
            ::unlink(partial.c_str());
            outcome_.error = error;
            outcome_.stoppedAt = candidate;
        }
        return ok;
    }

    // Waits for the writer; after a failed write, the files from the failed one on are
    // dropped and the scan stops at its candidate, so a resumed scan finds it again.
    bool settleWrites() {
        if (!writer_) return true;
        writer_->drain();
        return !writerFailed();
    }
    bool writerFailed() {
        if (!writer_) return false;
        const auto failure = writer_->failure();
        if (!failure) return false;
        if (!outcome_.error) {
            // Files are kept only once written: the one that failed is still pending.
            const std::size_t failed = std::min(failure->sequence - std::min(failure->sequence, kept_), pending_.size());
            outcome_.error = failure->message;
            if (failed < candidates_.size()) outcome_.stoppedAt = candidates_[failed];
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(failed), pending_.end());
            candidates_.resize(failed);
        }
        return true;
    }

    // Waits for the files found to be written, then adds their records to found_, and with
    // `removeLeftOut` removes the files of those that lie inside a disk image found since: a
    // pass over every record, so only between checkpoints, whose spacing bounds its cost.
    // False when a write failed.
    bool keepFound(bool removeLeftOut = true) {
        const bool written = settleWrites();
        for (const auto& file : pending_) {
            if (auto added = found_->add(file.record, file.format); !added) {
                if (!outcome_.error) {
                    outcome_.error = added.error();
                    outcome_.stoppedAt = candidates_.at(static_cast<std::size_t>(&file - pending_.data()));
                }
                break;
            }
            keptCoveredUntil_ = std::max(keptCoveredUntil_, file.covers);
        }
        kept_ += pending_.size();
        pending_.clear();
        candidates_.clear();
        if (removeLeftOut && options_.filesDirectory)
            if (auto removed = found_->removeFilesLeftOut(*options_.filesDirectory); !removed && !outcome_.error)
                outcome_.error = removed.error();
        return written && !outcome_.error;
    }

    void reportProgress(std::uint64_t position) {
        progress_.position = position;
        progress_.rangeFrom = outcome_.rangeFrom;
        progress_.rangeEnd = outcome_.rangeEnd;
        if (options_.progress) options_.progress(progress_);
        const auto now = std::chrono::steady_clock::now();
        // A checkpoint costs in proportion to what was found: with many files found it comes
        // less often, so that saving them takes a fifth of the time at most, not most of it.
        if (options_.checkpoint && std::chrono::duration<double>(now - lastCheckpoint_).count() >=
                                       std::max(options_.checkpointSeconds, 4 * lastCheckpointSeconds_)) {
            // The report names only files that are on disk.
            if (keepFound()) options_.checkpoint(*found_, position, keptCoveredUntil_, pipeline_->unreadableRanges());
            lastCheckpoint_ = std::chrono::steady_clock::now();
            lastCheckpointSeconds_ = std::chrono::duration<double>(lastCheckpoint_ - now).count();
        }
    }

    BlockReader& reader_;
    const ScanOptions& options_;
    const std::uint64_t blockSize_;
    const std::uint64_t sourceEnd_;
    const std::uint64_t chunkBytes_;
    const std::int64_t maxWalk_;
    ScanOutcome outcome_;
    ScanProgress progress_;
    std::uint64_t coveredUntil_ = 0;
    std::uint64_t keptCoveredUntil_ = 0;  // as far as the files kept in found_ cover
    std::uint64_t checkedBytes_ = 0;  // bytes the checks of mayCheck have gone over
    Held current_;
    std::optional<Held> next_;
    std::optional<std::uint64_t> examining_;  // the candidate being measured
    Held extension_;
    ChunkPipeline* pipeline_ = nullptr;
    std::chrono::steady_clock::time_point lastCheckpoint_;
    double lastCheckpointSeconds_ = 0;  // how long the last checkpoint took
    std::optional<FileWriter> writer_;
    std::shared_ptr<FoundFiles> found_;
    std::vector<Pending> pending_;           // found, not yet kept: their files may be being written
    std::vector<std::uint64_t> candidates_;  // the candidate position of each pending file
    std::size_t kept_ = 0;                   // files handed to found_ (the writer's sequence before pending_)
};

}  // namespace

std::string foundFileName(std::uint64_t offset, std::string_view extension) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(offset));
    return std::string(text) + "." + std::string(extension);
}

bool readSourceRange(BlockReader& reader, std::uint64_t sourceBytes, std::uint64_t offset,
                     std::uint64_t length,
                     const std::function<bool(std::span<const std::byte>)>& use,
                     std::string& error, std::uint64_t* unreadable, const std::function<void()>& beforeRetry,
                     std::vector<DataExtent>* unreadableRanges) {
    const auto blockSize = static_cast<std::uint64_t>(std::max<std::int64_t>(reader.blockSize(), 1));
    if (offset > sourceBytes || length > sourceBytes - offset) {
        error = "the range " + std::to_string(offset) + "+" + std::to_string(length) + " lies beyond the source's " +
                std::to_string(sourceBytes) + " bytes";
        return false;
    }
    std::uint64_t at = offset;
    const std::uint64_t end = offset + length;
    BadAreas badAreas;
    badAreas.beforeRetry = beforeRetry;
    try {
        while (at < end) {
            const std::uint64_t readStart = alignDown(at, blockSize);
            const std::uint64_t readEnd =
                std::min(alignUp(std::min(end, readStart + static_cast<std::uint64_t>(kCopyPieceBytes)), blockSize),
                         alignDown(sourceBytes, blockSize));
            if (readEnd <= readStart) {
                error = "the source ends inside a block";
                return false;
            }
            std::uint64_t lostOfRange = 0;
            const Data piece = unreadable ? readOrAroundBadBlocks(reader, readStart, readEnd - readStart,
                                                                  alignDown(sourceBytes, blockSize), badAreas,
                                                                  [&](std::uint64_t from, std::uint64_t to) {
                                                                      if (from >= end || to <= at) return;
                                                                      lostOfRange += std::min(to, end) - std::max(from, at);
                                                                      if (unreadableRanges)
                                                                          unreadableRanges->push_back(DataExtent{
                                                                              std::max(from, at), std::min(to, end) - std::max(from, at)});
                                                                  })
                                          : readRange(reader, readStart, readEnd - readStart);
            if (unreadable) *unreadable += lostOfRange;
            const std::uint64_t pieceEnd = std::min(end, readEnd);
            if (!use(std::span<const std::byte>(piece).subspan(
                    static_cast<std::size_t>(at - readStart),
                    static_cast<std::size_t>(pieceEnd - at))))
                return false;
            at = pieceEnd;
        }
    } catch (const IOError& failure) {
        error = failure.errorDescription();
        return false;
    }
    return true;
}

ScanOutcome scanSource(BlockReader& reader, std::uint64_t sourceBytes, const ScanOptions& options) {
    return Scan(reader, sourceBytes, options).run();
}

}  // namespace quarlin::recovery
