#include "QuarlinCore/carving/RAR4Walker.h"

#include <algorithm>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/CRC32.h"
#include "QuarlinCore/framing/RAR4Framing.h"

namespace quarlin {
namespace {

constexpr std::uint8_t kFileBlock = 0x74;
constexpr std::uint8_t kServiceBlock = 0x7A;
constexpr std::uint16_t kLargeFlag = 0x0100;
constexpr std::int64_t kHighPackSizeAt = 32;

constexpr std::uint16_t kAddedSizeFlag = 0x8000;
constexpr std::int64_t kPackSizeAt = 7;

// The block's length. File and service blocks always carry their packed size after the header,
// whether or not they set the flag that announces added data, and members of 4 GiB or more
// the high half of it too.
std::uint64_t wholeLength(std::span<const std::byte> bytes, std::int64_t at,
                          const RAR4Framing::Block& block) {
    if (block.type != kFileBlock && block.type != kServiceBlock) return block.totalLength;
    const ByteReader reader(bytes);
    const std::int64_t headerSize = reader.peekU16LE(at + 5);
    const std::uint16_t flags = reader.peekU16LE(at + 3);
    if (headerSize < kPackSizeAt + 4 || headerSize > static_cast<std::int64_t>(bytes.size()) - at)
        return block.totalLength;
    std::uint64_t length = block.totalLength;
    if (!(flags & kAddedSizeFlag)) length += reader.peekU32LE(at + kPackSizeAt);
    // Header size, low packed size and high packed size add up to less than 2^49.
    if ((flags & kLargeFlag) && headerSize >= kHighPackSizeAt + 4)
        length += std::uint64_t{reader.peekU32LE(at + kHighPackSizeAt)} << 32;
    return length;
}

// File, service and end-of-archive headers carry the low 16 bits of the CRC-32 of the header
// after that field. The end's is checked too: without it, a signature followed by noise reaches
// an "end" by chance once in a few thousand tries, and is taken for a whole archive.
bool headerChecksOut(std::span<const std::byte> bytes, std::int64_t at, const RAR4Framing::Block& block) {
    if (block.type != kFileBlock && block.type != kServiceBlock && !block.isEndOfArchive()) return true;
    const ByteReader reader(bytes);
    const std::int64_t headerSize = reader.peekU16LE(at + 5);
    if (headerSize > static_cast<std::int64_t>(bytes.size()) - at) return false;
    return (CRC32::compute(bytes, at + 2, at + headerSize) & 0xFFFFU) == reader.peekU16LE(at);
}

}  // namespace

std::optional<RAR4Walk> RAR4Walker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    constexpr auto signatureLength = static_cast<std::int64_t>(RAR4Framing::signature.size());
    if (at < 0 || at > n || n - at < signatureLength ||
        !std::ranges::equal(
            bytes.subspan(static_cast<std::size_t>(at), RAR4Framing::signature.size()),
            RAR4Framing::signature))
        return std::nullopt;

    RAR4Walk walk;
    std::int64_t pos = at;
    while (const auto block = RAR4Framing::parseBlock(bytes, pos)) {
        if (!headerChecksOut(bytes, pos, *block)) break;
        const std::uint64_t length = wholeLength(bytes, pos, *block);
        if (length > static_cast<std::uint64_t>(n - pos)) break;
        ++walk.blocks;
        pos += static_cast<std::int64_t>(length);
        if (block->isEndOfArchive()) {
            walk.endReached = true;
            break;
        }
    }
    walk.length = pos - at;
    return walk;
}

}  // namespace quarlin
