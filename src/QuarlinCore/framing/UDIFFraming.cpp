#include "QuarlinCore/framing/UDIFFraming.h"

#include <algorithm>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {
namespace {

constexpr std::uint64_t kMaxForkLength = 0x400000000ULL;      // 16 GiB
constexpr std::uint64_t kMaxXMLLength = 0x20000000ULL;        // 512 MiB
constexpr std::uint64_t kMaxSignatureLength = 0x20000000ULL;  // 512 MiB

std::uint64_t peekU64BE(const ByteReader& reader, std::int64_t at) {
    return (std::uint64_t{reader.peekU32BE(at)} << 32) | reader.peekU32BE(at + 4);
}

}  // namespace

std::optional<std::uint64_t> UDIFFraming::Trailer::lastSectionEnd() const {
    if (xmlLength == 0) return std::nullopt;
    std::uint64_t end = xmlOffset + xmlLength;
    if (dataForkLength != 0) end = std::max(end, dataForkOffset + dataForkLength);
    if (resourceForkLength != 0) end = std::max(end, resourceForkOffset + resourceForkLength);
    if (codeSignatureLength != 0) end = std::max(end, codeSignatureOffset + codeSignatureLength);
    return end;
}

std::optional<std::uint64_t> UDIFFraming::Trailer::expectedFileLength() const {
    const auto last = lastSectionEnd();
    if (!last) return std::nullopt;
    return *last + static_cast<std::uint64_t>(trailerSize);
}

std::optional<UDIFFraming::Trailer> UDIFFraming::parseTrailer(std::span<const std::byte> bytes,
                                                              std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n || n - at < trailerSize) return std::nullopt;
    const ByteReader reader(bytes, 0);
    if (reader.peekU32BE(at) != 0x6B6F6C79U) return std::nullopt;  // "koly"
    if (reader.peekU32BE(at + 4) != 4 || reader.peekU32BE(at + 8) != 512) return std::nullopt;

    Trailer trailer;
    trailer.dataForkOffset = peekU64BE(reader, at + 24);
    trailer.dataForkLength = peekU64BE(reader, at + 32);
    trailer.resourceForkOffset = peekU64BE(reader, at + 40);
    trailer.resourceForkLength = peekU64BE(reader, at + 48);
    trailer.xmlOffset = peekU64BE(reader, at + 216);
    trailer.xmlLength = peekU64BE(reader, at + 224);
    trailer.codeSignatureOffset = peekU64BE(reader, at + 232);
    trailer.codeSignatureLength = peekU64BE(reader, at + 240);
    if (trailer.dataForkLength > kMaxForkLength || trailer.resourceForkLength > kMaxForkLength ||
        trailer.xmlLength < 1 || trailer.xmlLength > kMaxXMLLength ||
        trailer.codeSignatureLength > kMaxSignatureLength)
        return std::nullopt;
    return trailer;
}

}  // namespace quarlin
