#include "QuarlinCore/framing/RAR5Framing.h"

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/CRC32.h"

namespace quarlin {
namespace {

constexpr std::uint64_t kMaxHeaderSize = 0x200000;

using VInt = RAR5Framing::VInt;

// Little-endian base-128, at most 10 bytes; every byte must lie before `limit`. Of the 10th
// byte only the lowest bit fits in 64 bits, and it must end the number.
std::optional<VInt> vintAt(const ByteReader& reader, std::int64_t at, std::int64_t limit) {
    std::uint64_t value = 0;
    for (int k = 0; k < 10; ++k) {
        const std::int64_t pos = at + k;
        if (pos >= limit) return std::nullopt;
        const std::uint8_t byte = reader.peekU8(pos);
        if (k == 9) {
            if (byte & 0x80U) return std::nullopt;
            value |= std::uint64_t{byte & 0x01U} << 63;
            return VInt{value, pos + 1};
        }
        value |= std::uint64_t{byte & 0x7FU} << (7 * k);
        if (!(byte & 0x80U)) return VInt{value, pos + 1};
    }
    return std::nullopt;
}

}  // namespace

std::optional<RAR5Framing::VInt> RAR5Framing::readVInt(std::span<const std::byte> bytes, std::int64_t at,
                                                       std::int64_t limit) {
    if (at < 0) return std::nullopt;
    return vintAt(ByteReader(bytes), at, std::min(limit, static_cast<std::int64_t>(bytes.size())));
}

std::optional<RAR5Framing::BlockType> RAR5Framing::blockType(std::uint64_t rawValue) {
    if (rawValue < 1 || rawValue > 5) return std::nullopt;
    return static_cast<BlockType>(rawValue);
}

std::optional<RAR5Framing::Block> RAR5Framing::parseBlock(std::span<const std::byte> bytes,
                                                          std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n || n - at < 7) return std::nullopt;
    const ByteReader reader(bytes);
    const std::uint32_t storedCRC = reader.peekU32LE(at);

    const auto headerSize = vintAt(reader, at + 4, n);
    if (!headerSize || headerSize->value < 2 || headerSize->value > kMaxHeaderSize)
        return std::nullopt;
    const std::int64_t p = headerSize->end;
    const auto size = static_cast<std::int64_t>(headerSize->value);
    if (size > n - p) return std::nullopt;
    const std::int64_t headerEnd = p + size;
    const std::uint32_t computedCRC = CRC32::compute(bytes, at + 4, headerEnd);

    // Fields are decoded against the whole buffer and then required to end inside the header,
    // so a field that runs past the header is refused whether or not bytes follow it.
    const auto type = vintAt(reader, p, n);
    if (!type) return std::nullopt;
    const auto flags = vintAt(reader, type->end, n);
    if (!flags || flags->end > headerEnd) return std::nullopt;
    std::int64_t pos = flags->end;
    if (flags->value & 0x1U) {
        const auto extraSize = vintAt(reader, pos, n);
        if (!extraSize || extraSize->end > headerEnd) return std::nullopt;
        pos = extraSize->end;
    }
    std::uint64_t dataSize = 0;
    if (flags->value & 0x2U) {
        const auto declared = vintAt(reader, pos, n);
        if (!declared || declared->end > headerEnd) return std::nullopt;
        dataSize = declared->value;
    }
    // Wraps modulo 2^64 like the stored field; callers check the total against what they hold.
    const std::uint64_t total = static_cast<std::uint64_t>(headerEnd - at) + dataSize;
    if (total == 0) return std::nullopt;
    return Block{total, type->value, computedCRC == storedCRC};
}

}  // namespace quarlin
