#include "QuarlinCore/framing/PSTFraming.h"

#include <algorithm>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {

std::optional<OutlookPSTFraming::Header> OutlookPSTFraming::parseHeader(
    std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n || n - at < headerParseLength) return std::nullopt;
    const ByteReader reader(bytes, 0);
    if (!std::ranges::equal(bytes.subspan(static_cast<std::size_t>(at), 4), magic))
        return std::nullopt;
    const std::uint8_t client = reader.peekU8(at + 9);
    if (reader.peekU8(at + 8) != 'S' || (client != 'M' && client != 'O')) return std::nullopt;
    if (reader.peekU8(at + 14) != 1 || reader.peekU8(at + 15) != 1) return std::nullopt;

    const std::uint16_t version = reader.peekU16LE(at + 10);
    Header header;
    header.isOST = client == 'O';
    if (version == 23 || version == 36 || version == 37) {
        header.isUnicode = true;
        header.declaredFileSize = reader.peekU64LE(at + 184);
    } else if (version == 14 || version == 15) {
        header.declaredFileSize = reader.peekU32LE(at + 168);
    } else {
        return std::nullopt;
    }
    if (header.declaredFileSize < 512) return std::nullopt;
    return header;
}

}  // namespace quarlin
