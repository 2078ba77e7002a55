#include "QuarlinCore/framing/RAR4Framing.h"

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {

std::optional<RAR4Framing::Block> RAR4Framing::parseBlock(std::span<const std::byte> bytes,
                                                          std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n || n - at < 7) return std::nullopt;
    const ByteReader reader(bytes);
    const std::uint8_t type = reader.peekU8(at + 2);
    if (type < 0x72 || type > 0x7B) return std::nullopt;
    const std::uint16_t headerSize = reader.peekU16LE(at + 5);
    if (headerSize < 7) return std::nullopt;
    if (!(reader.peekU8(at + 4) & 0x80U)) return Block{headerSize, type};
    if (n - at < 11) return std::nullopt;
    return Block{std::uint64_t{headerSize} + reader.peekU32LE(at + 7), type};
}

}  // namespace quarlin
