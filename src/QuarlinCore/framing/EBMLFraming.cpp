#include "QuarlinCore/framing/EBMLFraming.h"

#include <bit>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {
namespace {

constexpr int kMaxDocTypeChildren = 64;

struct VarInt {
    std::uint64_t value = 0;
    std::int64_t length = 0;
    bool unknown = false;
};

// Length of a variable-size integer from its first byte: the position of the first 1 bit.
int lengthOfLead(std::uint8_t lead) {
    return std::countl_zero(lead) + 1;
}

std::optional<VarInt> readID(const ByteReader& reader, std::int64_t at, std::int64_t end) {
    if (at < 0 || at >= end) return std::nullopt;
    const std::uint8_t lead = reader.peekU8(at);
    if (lead < 0x10) return std::nullopt;
    const int length = lengthOfLead(lead);
    if (length > end - at) return std::nullopt;
    VarInt id{lead, length, false};
    for (int i = 1; i < length; ++i) id.value = (id.value << 8) | reader.peekU8(at + i);
    return id;
}

std::optional<VarInt> readSize(const ByteReader& reader, std::int64_t at, std::int64_t end) {
    if (at < 0 || at >= end) return std::nullopt;
    const std::uint8_t lead = reader.peekU8(at);
    if (lead == 0) return std::nullopt;
    const int length = lengthOfLead(lead);
    if (length > end - at) return std::nullopt;
    const std::uint8_t mask = static_cast<std::uint8_t>(0xFFU >> length);
    VarInt size{static_cast<std::uint64_t>(lead & mask), length, (lead & mask) == mask};
    for (int i = 1; i < length; ++i) {
        const std::uint8_t b = reader.peekU8(at + i);
        size.value = (size.value << 8) | b;
        size.unknown = size.unknown && b == 0xFF;
    }
    return size;
}

}  // namespace

std::optional<EBMLFraming::Element> EBMLFraming::parseElement(std::span<const std::byte> bytes,
                                                              std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    const ByteReader reader(bytes, 0);
    const auto id = readID(reader, at, n);
    if (!id) return std::nullopt;
    const auto size = readSize(reader, at + id->length, n);
    if (!size) return std::nullopt;
    Element element{id->value, id->length + size->length, std::nullopt};
    if (!size->unknown) element.dataSize = size->value;
    return element;
}

std::optional<std::string> EBMLFraming::docType(std::span<const std::byte> headerPayload) {
    const auto n = static_cast<std::int64_t>(headerPayload.size());
    const ByteReader reader(headerPayload, 0);
    std::int64_t pos = 0;
    for (int child = 0; child < kMaxDocTypeChildren; ++child) {
        const auto id = readID(reader, pos, n);
        if (!id) return std::nullopt;
        const auto size = readSize(reader, pos + id->length, n);
        if (!size || size->unknown) return std::nullopt;
        const std::int64_t dataStart = pos + id->length + size->length;
        if (size->value > static_cast<std::uint64_t>(n - dataStart)) return std::nullopt;
        const auto dataSize = static_cast<std::int64_t>(size->value);
        if (id->value == docTypeID) {
            std::string text;
            for (std::int64_t i = 0; i < dataSize; ++i) {
                const std::uint8_t c = reader.peekU8(dataStart + i);
                if (c == 0) break;
                if (c > 0x7F) return std::nullopt;
                text.push_back(static_cast<char>(c));
            }
            if (text.empty()) return std::nullopt;
            return text;
        }
        pos = dataStart + dataSize;
    }
    return std::nullopt;
}

}  // namespace quarlin
