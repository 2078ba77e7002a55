#include "QuarlinCore/recovery/PSTChecksums.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/CRC32.h"

namespace quarlin::recovery {
namespace {

constexpr std::int64_t kPageSize = 512;
constexpr std::uint8_t kBlockTreePage = 0x80, kNodeTreePage = 0x81;

// The file's own CRC: the reflected CRC-32 table run from 0, without the inversions before and
// after that the standard one has.
std::uint32_t fileCRC(std::span<const std::byte> bytes) {
    return ~CRC32::update(0xFFFFFFFFU, bytes);
}

// Where the two layouts differ: field widths and the places of the trailers.
struct Layout {
    bool unicode;
    std::int64_t idSize() const { return unicode ? 8 : 4; }
    std::int64_t pageData() const { return unicode ? 496 : 500; }  // what the page's CRC covers
    std::int64_t entriesSize() const { return unicode ? 488 : 496; }
    std::int64_t blockTrailer() const { return unicode ? 16 : 12; }
    std::uint64_t id(const ByteReader& r, std::int64_t at) const {
        return unicode ? r.peekU64LE(at) : r.peekU32LE(at);
    }
};

struct PageRef {
    std::uint64_t bid;
    std::uint64_t ib;
    std::uint8_t type;
    int levelBelow;  // the level the page must have is lower than this
};

}  // namespace

bool pstHeaderIntact(std::span<const std::byte> file, bool unicode) {
    if (file.size() < kPSTHeaderBytes) return false;
    const ByteReader reader(file);
    // A partial CRC in both layouts, and in the Unicode one a fuller one too.
    constexpr std::size_t kCRCStart = 8;
    return reader.peekU32LE(4) == fileCRC(file.subspan(kCRCStart, 471)) &&
           (!unicode || reader.peekU32LE(524) == fileCRC(file.subspan(kCRCStart, 516)));
}

std::optional<std::string> pstChecksumMismatch(std::span<const std::byte> file, bool unicode) {
    return pstChecksumMismatch(file.size(), [file](std::uint64_t at, std::size_t length) {
        return at <= file.size() && length <= file.size() - at ? file.subspan(static_cast<std::size_t>(at), length)
                                                              : std::span<const std::byte>();
    }, unicode);
}

std::optional<std::string> pstChecksumMismatch(std::uint64_t fileLength, const PSTBytes& read, bool unicode) {
    const Layout layout{unicode};
    const auto n = static_cast<std::int64_t>(std::min<std::uint64_t>(fileLength, INT64_MAX / 4));
    const auto header = read(0, kPSTHeaderBytes);
    if (!pstHeaderIntact(header, unicode)) return "its header fails its checksum";
    const ByteReader headerReader(header);

    // The roots: the node tree's and the block tree's references (block ID, then offset).
    const std::int64_t roots = unicode ? 216 : 184, refSize = 2 * layout.idSize();
    std::vector<PageRef> pending;
    for (const auto& [at, type] :
         {std::pair{roots, kNodeTreePage}, std::pair{roots + refSize, kBlockTreePage}})
        pending.push_back({layout.id(headerReader, at), layout.id(headerReader, at + layout.idSize()), type, 256});

    // The blocks the tree lists are checked in batches, in the order they lie in the file: a
    // file read from a disk is then read forwards, not at random.
    struct BlockRef {
        std::uint64_t at, id;
        std::int64_t size, extent;
    };
    std::vector<BlockRef> blocks;
    const auto checkBlocks = [&]() -> std::optional<std::string> {
        std::sort(blocks.begin(), blocks.end(), [](const BlockRef& a, const BlockRef& b) { return a.at < b.at; });
        for (const auto& block : blocks) {
            const auto bytes = read(block.at, static_cast<std::size_t>(block.extent));
            if (bytes.size() != static_cast<std::size_t>(block.extent)) return "a block lies past the file's end";
            const ByteReader reader(bytes);
            const std::int64_t trailer = block.extent - layout.blockTrailer();
            if (reader.peekU16LE(trailer) != block.size || layout.id(reader, trailer + (unicode ? 8 : 4)) != block.id ||
                reader.peekU32LE(trailer + (unicode ? 4 : 8)) !=
                    fileCRC(bytes.first(static_cast<std::size_t>(block.size))))
                return "the block at byte " + std::to_string(block.at) + " fails its checksum";
        }
        blocks.clear();
        return std::nullopt;
    };
    constexpr std::size_t kBatch = std::size_t{1} << 16;

    std::int64_t pagesLeft = n / kPageSize + 2, bytesLeft = 2 * n + (1 << 20);
    while (!pending.empty()) {
        const PageRef ref = pending.back();
        pending.pop_back();
        if (--pagesLeft < 0 || bytesLeft < kPageSize) break;  // bound reached: the rest goes unchecked
        if (ref.ib > static_cast<std::uint64_t>(n - kPageSize))
            return "a B-tree page lies past the file's end";
        const auto at = static_cast<std::int64_t>(ref.ib);
        const auto page = read(ref.ib, kPageSize);
        if (page.size() != kPageSize) return "a B-tree page lies past the file's end";
        const ByteReader reader(page);
        bytesLeft -= kPageSize;
        const std::int64_t trailer = layout.pageData();
        const std::uint32_t crc = reader.peekU32LE(trailer + (unicode ? 4 : 8));
        const std::uint64_t bid = layout.id(reader, trailer + (unicode ? 8 : 4));
        if (reader.peekU8(trailer) != ref.type || reader.peekU8(trailer + 1) != ref.type ||
            bid != ref.bid ||
            crc != fileCRC(page.first(static_cast<std::size_t>(layout.pageData()))))
            return "a B-tree page at byte " + std::to_string(at) + " fails its checksum";

        const std::int64_t count = reader.peekU8(layout.entriesSize()),
                           entrySize = reader.peekU8(layout.entriesSize() + 2),
                           level = reader.peekU8(layout.entriesSize() + 3);
        if (level >= ref.levelBelow || entrySize < 3 * layout.idSize() ||
            count * entrySize > layout.entriesSize())
            return "a B-tree page at byte " + std::to_string(at) + " is malformed";
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int64_t entry = i * entrySize;
            if (level > 0) {  // key, then the reference of a page one level down
                pending.push_back({layout.id(reader, entry + layout.idSize()),
                                   layout.id(reader, entry + 2 * layout.idSize()), ref.type,
                                   static_cast<int>(level)});
                continue;
            }
            if (ref.type != kBlockTreePage) continue;
            // A block: its data, then a trailer at the end of its 64-byte-aligned extent.
            const std::uint64_t blockID = layout.id(reader, entry),
                                blockAt = layout.id(reader, entry + layout.idSize());
            const std::int64_t size = reader.peekU16LE(entry + refSize);
            const std::int64_t extent = (size + layout.blockTrailer() + 63) / 64 * 64;
            if (blockAt > static_cast<std::uint64_t>(n - extent))
                return "a block lies past the file's end";
            if ((bytesLeft -= size) < 0) {
                pending.clear();
                break;
            }
            blocks.push_back({blockAt, blockID, size, extent});
            if (blocks.size() >= kBatch)
                if (auto why = checkBlocks()) return why;
        }
    }
    return checkBlocks();
}

}  // namespace quarlin::recovery
