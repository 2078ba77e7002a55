#include "QuarlinCore/framing/OggFraming.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/MSBFirstFolding.h"

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

// slices[k][b]: the CRC of byte b followed by k zero bytes (polynomial 0x04C11DB7, most
// significant bit first), so that eight bytes are taken a step.
using CRCSlices = std::array<std::array<std::uint32_t, 256>, 8>;

const CRCSlices& crcSlices() {
    static std::once_flag once;
    static CRCSlices built;
    std::call_once(once, [] {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i << 24;
            for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000U) ? ((r << 1) ^ 0x04C11DB7U) : (r << 1);
            built[0][i] = r;
        }
        for (std::size_t k = 1; k < 8; ++k)
            for (std::uint32_t i = 0; i < 256; ++i)
                built[k][i] = (built[k - 1][i] << 8) ^ built[0][built[k - 1][i] >> 24];
    });
    return built;
}

std::uint32_t crcWithTables(std::uint32_t crc, std::span<const std::byte> data) {
    const auto& t = crcSlices();
    const std::byte* p = data.data();
    std::size_t n = data.size();
    auto at = [&p](std::size_t i) { return std::to_integer<std::uint32_t>(p[i]); };
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t high = crc ^ (at(0) << 24 | at(1) << 16 | at(2) << 8 | at(3));
        crc = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFFU] ^ t[5][(high >> 8) & 0xFFU] ^ t[4][high & 0xFFU] ^
              t[3][at(4)] ^ t[2][at(5)] ^ t[1][at(6)] ^ t[0][at(7)];
    }
    for (std::size_t i = 0; i < n; ++i) crc = (crc << 8) ^ t[0][(crc >> 24) ^ at(i)];
    return crc;
}

// The CRC carried from `crc` over `data`: long runs (a page's payload) by carry-less
// multiplication where the processor has it.
std::uint32_t crcRun(std::uint32_t crc, std::span<const std::byte> data) {
    static const MSBFirstFolder folder(0x04C11DB7U, 32);
    if (data.size() < MSBFirstFolder::kFoldFrom || !MSBFirstFolder::available()) return crcWithTables(crc, data);
    const auto folded = folder.fold(crc, data.data(), data.size());
    return crcWithTables(crcWithTables(0, folded.block), std::span(folded.rest, folded.restLength));
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

std::uint32_t OggPageFraming::pageCRC(std::span<const std::byte> data) { return crcRun(0, data); }

bool OggPageFraming::hasValidCRC(std::span<const std::byte> page) {
    const auto header = parsePageHeader(page, 0);
    if (!header) return false;
    const auto length = pageLength(page, 0);
    if (!length || *length != size(page)) return false;
    // The CRC field counts as zeros.
    constexpr std::array<std::byte, 4> zeros{};
    std::uint32_t crc = crcRun(0, page.first(static_cast<std::size_t>(kCRCOffset)));
    crc = crcRun(crc, zeros);
    crc = crcRun(crc, page.subspan(static_cast<std::size_t>(kCRCOffset) + zeros.size()));
    return crc == header->declaredCRC;
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
