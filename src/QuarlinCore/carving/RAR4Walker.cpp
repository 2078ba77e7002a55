#include "QuarlinCore/carving/RAR4Walker.h"

#include <algorithm>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/RAR4Framing.h"

namespace quarlin {
namespace {

constexpr std::uint8_t kFileBlock = 0x74;
constexpr std::uint8_t kServiceBlock = 0x7A;
constexpr std::uint16_t kLargeFlag = 0x0100;
constexpr std::int64_t kHighPackSizeAt = 32;

// The block's length with the high half of a large member's packed size.
std::uint64_t wholeLength(std::span<const std::byte> bytes, std::int64_t at,
                          const RAR4Framing::Block& block) {
    if (block.type != kFileBlock && block.type != kServiceBlock) return block.totalLength;
    const ByteReader reader(bytes);
    const std::int64_t headerSize = reader.peekU16LE(at + 5);
    if (!(reader.peekU16LE(at + 3) & kLargeFlag) || headerSize < kHighPackSizeAt + 4 ||
        headerSize > static_cast<std::int64_t>(bytes.size()) - at)
        return block.totalLength;
    // Header size, low packed size and high packed size add up to less than 2^49.
    return block.totalLength + (std::uint64_t{reader.peekU32LE(at + kHighPackSizeAt)} << 32);
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
