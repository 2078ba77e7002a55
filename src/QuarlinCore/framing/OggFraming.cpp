#include "QuarlinCore/framing/OggFraming.h"

#include <algorithm>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {
namespace {

constexpr std::int64_t kCRCOffset = 22;

std::int64_t size(std::span<const std::byte> bytes) {
    return static_cast<std::int64_t>(bytes.size());
}

void appendLE(std::vector<std::byte>& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFFU));
}

}  // namespace

std::optional<OggPageFraming::PageHeader> OggPageFraming::parsePageHeader(
    std::span<const std::byte> data, std::int64_t at) {
    if (at < 0 || at > size(data) || size(data) - at < headerLength) return std::nullopt;
    const ByteReader reader(data, 0);
    if (!std::ranges::equal(data.subspan(static_cast<std::size_t>(at), 4), capturePattern))
        return std::nullopt;
    if (reader.peekU8(at + 4) != 0) return std::nullopt;
    return PageHeader{reader.peekU8(at + 5), reader.peekU8(at + 26),
                      reader.peekU32LE(at + kCRCOffset)};
}

std::optional<std::int64_t> OggPageFraming::pageLength(std::span<const std::byte> data,
                                                       std::int64_t at) {
    const auto header = parsePageHeader(data, at);
    if (!header) return std::nullopt;
    if (header->segmentCount > size(data) - at - headerLength) return std::nullopt;
    const ByteReader reader(data, 0);
    std::int64_t payload = 0;
    for (std::int64_t i = 0; i < header->segmentCount; ++i)
        payload += reader.peekU8(at + headerLength + i);
    return headerLength + header->segmentCount + payload;
}

std::uint32_t OggPageFraming::pageCRC(std::span<const std::byte> data) {
    std::uint32_t crc = 0;
    for (auto b : data) {
        crc ^= std::to_integer<std::uint32_t>(b) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000U) ? ((crc << 1) ^ 0x04C11DB7U) : (crc << 1);
    }
    return crc;
}

bool OggPageFraming::hasValidCRC(std::span<const std::byte> page) {
    const auto header = parsePageHeader(page, 0);
    if (!header) return false;
    const auto length = pageLength(page, 0);
    if (!length || *length != size(page)) return false;
    std::vector<std::byte> copy(page.begin(), page.end());
    for (std::size_t i = 0; i < 4; ++i)
        copy.at(static_cast<std::size_t>(kCRCOffset) + i) = std::byte{0};
    return pageCRC(copy) == header->declaredCRC;
}

OggPageFraming::WalkResult OggPageFraming::walkPages(std::span<const std::byte> data) {
    WalkResult result;
    std::int64_t pos = 0;
    while (pos < size(data)) {
        const auto header = parsePageHeader(data, pos);
        if (!header) break;
        const auto length = pageLength(data, pos);
        if (!length || *length > size(data) - pos) break;
        if (!hasValidCRC(
                data.subspan(static_cast<std::size_t>(pos), static_cast<std::size_t>(*length))))
            break;
        if (result.pageCount == 0) result.firstPageIsBOS = (header->headerType & 0x02U) != 0;
        if (header->headerType & 0x04U) result.sawEOS = true;
        pos += *length;
        ++result.pageCount;
    }
    result.bytesWalked = pos;
    return result;
}

std::optional<std::vector<std::byte>> OggPageFraming::makePage(std::uint8_t headerType,
                                                               std::uint64_t granule,
                                                               std::uint32_t serial,
                                                               std::uint32_t sequence,
                                                               std::span<const std::byte> payload) {
    const std::int64_t length = size(payload);
    if (length > maxPayloadLength) return std::nullopt;
    std::vector<std::byte> lacing;
    std::int64_t remainder = length;
    while (remainder >= 255) {
        lacing.push_back(std::byte{255});
        remainder -= 255;
    }
    lacing.push_back(static_cast<std::byte>(remainder));

    std::vector<std::byte> page;
    page.reserve(static_cast<std::size_t>(headerLength) + lacing.size() + payload.size());
    page.insert(page.end(), capturePattern.begin(), capturePattern.end());
    page.push_back(std::byte{0});
    page.push_back(static_cast<std::byte>(headerType));
    appendLE(page, granule, 8);
    appendLE(page, serial, 4);
    appendLE(page, sequence, 4);
    appendLE(page, 0, 4);
    page.push_back(static_cast<std::byte>(lacing.size()));
    page.insert(page.end(), lacing.begin(), lacing.end());
    page.insert(page.end(), payload.begin(), payload.end());
    const std::uint32_t crc = pageCRC(page);
    for (int i = 0; i < 4; ++i)
        page[static_cast<std::size_t>(kCRCOffset + i)] =
            static_cast<std::byte>((crc >> (8 * i)) & 0xFFU);
    return page;
}

}  // namespace quarlin
