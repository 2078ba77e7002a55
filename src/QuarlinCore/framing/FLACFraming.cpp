#include "QuarlinCore/framing/FLACFraming.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {
namespace {

constexpr std::int64_t kStreamInfoLength = 34;
constexpr std::int64_t kMaxMetadataBlocks = 1024;

struct CRCTables {
    std::array<std::uint8_t, 256> crc8{};
    std::array<std::uint16_t, 256> crc16{};
};

const CRCTables& tables() {
    static std::once_flag once;
    static CRCTables built;
    std::call_once(once, [] {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned r8 = i;
            unsigned r16 = i << 8;
            for (int bit = 0; bit < 8; ++bit) {
                r8 = (r8 & 0x80U) ? ((r8 << 1) ^ 0x07U) : (r8 << 1);
                r16 = (r16 & 0x8000U) ? ((r16 << 1) ^ 0x8005U) : (r16 << 1);
            }
            built.crc8[i] = static_cast<std::uint8_t>(r8 & 0xFFU);
            built.crc16[i] = static_cast<std::uint16_t>(r16 & 0xFFFFU);
        }
    });
    return built;
}

std::int64_t size(std::span<const std::byte> bytes) {
    return static_cast<std::int64_t>(bytes.size());
}

std::uint8_t byteAt(const ByteReader& reader, std::int64_t at) {
    return reader.peekU8(at);
}

bool validRange(std::span<const std::byte> bytes, std::int64_t from, std::int64_t to) {
    return from >= 0 && from <= to && to <= size(bytes);
}

std::int64_t blockSizeOfCode(unsigned code) {
    if (code == 1) return 192;
    if (code >= 2 && code <= 5) return std::int64_t{576} << (code - 2);
    if (code >= 8) return std::int64_t{256} << (code - 8);
    return 0;  // 6 and 7 are read from the header, 0 is reserved
}

std::optional<std::int64_t> sampleRateOfCode(unsigned code) {
    static constexpr std::array<std::int64_t, 12> rates{0,     88200, 176400, 192000, 8000,  16000,
                                                        22050, 24000, 32000,  44100,  48000, 96000};
    if (code >= 1 && code <= 11) return rates[code];
    return std::nullopt;
}

// Bits per sample of a sample-size code; 0 means "from STREAMINFO". Code 3 is refused earlier.
std::int64_t bitsOfSampleSizeCode(unsigned code) {
    static constexpr std::array<std::int64_t, 8> bits{0, 8, 12, 0, 16, 20, 24, 32};
    return bits[code & 7U];
}

}  // namespace

std::uint8_t FLACFraming::crc8(std::span<const std::byte> bytes, std::int64_t from,
                               std::int64_t to) {
    if (!validRange(bytes, from, to) || from == to) return 0;
    const auto& table = tables().crc8;
    std::uint8_t crc = 0;
    for (auto b :
         bytes.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)))
        crc = table[crc ^ std::to_integer<std::uint8_t>(b)];
    return crc;
}

std::uint16_t FLACFraming::crc16Update(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>(tables().crc16[((crc >> 8) ^ byte) & 0xFFU] ^ (crc << 8));
}

std::uint16_t FLACFraming::crc16(std::span<const std::byte> bytes, std::int64_t from,
                                 std::int64_t to) {
    if (!validRange(bytes, from, to) || from == to) return 0;
    const auto& table = tables().crc16;
    std::uint16_t crc = 0;
    for (auto b :
         bytes.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)))
        crc = static_cast<std::uint16_t>(
            table[((crc >> 8) ^ std::to_integer<unsigned>(b)) & 0xFFU] ^ (crc << 8));
    return crc;
}

std::optional<FLACFraming::StreamInfo> FLACFraming::parseStreamInfo(
    std::span<const std::byte> body) {
    if (size(body) < kStreamInfoLength) return std::nullopt;
    const ByteReader reader(body, 0);
    StreamInfo info;
    info.minBlockSize = reader.peekU16BE(0);
    info.maxBlockSize = reader.peekU16BE(2);
    info.minFrameSize = (std::int64_t{byteAt(reader, 4)} << 16) | reader.peekU16BE(5);
    info.maxFrameSize = (std::int64_t{byteAt(reader, 7)} << 16) | reader.peekU16BE(8);
    const std::uint8_t b12 = byteAt(reader, 12);
    const std::uint8_t b13 = byteAt(reader, 13);
    info.sampleRate = (std::int64_t{reader.peekU16BE(10)} << 4) | (b12 >> 4);
    info.channels = ((b12 >> 1) & 0x07) + 1;
    info.bitsPerSample = (((b12 & 0x01) << 4) | (b13 >> 4)) + 1;
    info.totalSamples = (std::uint64_t{b13 & 0x0FU} << 32) | reader.peekU32BE(14);
    if (info.sampleRate == 0 || info.maxBlockSize == 0) return std::nullopt;
    return info;
}

std::optional<FLACFraming::Metadata> FLACFraming::walkMetadataBlocks(
    std::span<const std::byte> bytes) {
    const std::int64_t n = size(bytes);
    if (n < 8) return std::nullopt;
    const ByteReader reader(bytes, 0);
    if (reader.peekU32BE(0) != 0x664C6143U) return std::nullopt;  // "fLaC"

    std::optional<StreamInfo> streamInfo;
    std::int64_t pos = 4;
    for (std::int64_t index = 0;; ++index) {
        if (pos > n - 4) return std::nullopt;
        const std::uint8_t flagAndType = byteAt(reader, pos);
        const std::int64_t length = reader.peekU32BE(pos) & 0x00FFFFFFU;
        const unsigned type = flagAndType & 0x7FU;
        if (index == 0 && (type != 0 || length != kStreamInfoLength)) return std::nullopt;
        if (index > 0 && type == 0x7F) return std::nullopt;
        if (length > n - pos - 4) return std::nullopt;
        const std::int64_t next = pos + 4 + length;
        // A later STREAMINFO after an unusable first one is read as 34 bytes whatever its
        // declared length; parseStreamInfo refuses it when fewer than 34 bytes remain.
        if (type == 0 && !streamInfo)
            streamInfo = parseStreamInfo(bytes.subspan(static_cast<std::size_t>(pos + 4)));
        if (flagAndType & 0x80U) {
            if (!streamInfo) return std::nullopt;
            return Metadata{next, *streamInfo};
        }
        if (index + 1 >= kMaxMetadataBlocks) return std::nullopt;
        pos = next;
    }
}

std::optional<FLACFraming::FrameHeader> FLACFraming::parseFrameHeader(
    std::span<const std::byte> bytes, std::int64_t at,
    const std::optional<StreamInfo>& streamInfo) {
    const std::int64_t n = size(bytes);
    if (at < 0 || at > n - 5) return std::nullopt;
    const ByteReader reader(bytes, 0);
    const std::uint8_t b0 = byteAt(reader, at);
    const std::uint8_t b1 = byteAt(reader, at + 1);
    const std::uint8_t b2 = byteAt(reader, at + 2);
    const std::uint8_t b3 = byteAt(reader, at + 3);
    if (b0 != 0xFF || (b1 & 0xFEU) != 0xF8U) return std::nullopt;
    const bool variable = (b1 & 0x01U) != 0;
    const unsigned blockSizeCode = b2 >> 4;
    const unsigned sampleRateCode = b2 & 0x0FU;
    const unsigned channelAssignment = b3 >> 4;
    const unsigned sampleSizeCode = (b3 >> 1) & 0x07U;
    if (blockSizeCode == 0 || sampleRateCode == 15 || channelAssignment > 10 ||
        sampleSizeCode == 3 || (b3 & 0x01U) != 0)
        return std::nullopt;

    // Coded number: a UTF-8-like sequence of 1 to 7 bytes.
    const std::uint8_t lead = byteAt(reader, at + 4);
    std::int64_t codedLength = 0;
    std::uint64_t value = 0;
    if (lead < 0x80) {
        codedLength = 1;
        value = lead;
    } else if (lead == 0xFE) {
        if (!variable) return std::nullopt;
        codedLength = 7;
    } else if (lead >= 0xC0 && lead != 0xFF) {
        // Count the leading ones: 110xxxxx is 2 bytes, ..., 1111110x is 6.
        codedLength = 2;
        while (codedLength < 6 && (lead & (0x80U >> codedLength)) != 0) ++codedLength;
        value = lead & (0xFFU >> (codedLength + 1));
    } else {
        return std::nullopt;
    }
    if (codedLength > n - at - 4) return std::nullopt;
    for (std::int64_t i = 1; i < codedLength; ++i) {
        const std::uint8_t continuation = byteAt(reader, at + 4 + i);
        if ((continuation & 0xC0U) != 0x80U) return std::nullopt;
        value = (value << 6) | (continuation & 0x3FU);
    }
    std::int64_t q = at + 4 + codedLength;

    std::int64_t blockSize = blockSizeOfCode(blockSizeCode);
    if (blockSizeCode == 6 || blockSizeCode == 7) {
        const std::int64_t width = blockSizeCode == 6 ? 1 : 2;
        if (width > n - q) return std::nullopt;
        blockSize =
            (width == 1 ? std::int64_t{byteAt(reader, q)} : std::int64_t{reader.peekU16BE(q)}) + 1;
        q += width;
    }
    std::optional<std::int64_t> sampleRate = sampleRateOfCode(sampleRateCode);
    if (sampleRateCode >= 12) {
        const std::int64_t width = sampleRateCode == 12 ? 1 : 2;
        if (width > n - q) return std::nullopt;
        const std::int64_t raw =
            width == 1 ? std::int64_t{byteAt(reader, q)} : std::int64_t{reader.peekU16BE(q)};
        sampleRate = sampleRateCode == 12 ? raw * 1000 : sampleRateCode == 13 ? raw : raw * 10;
        q += width;
    }
    if (q >= n) return std::nullopt;
    if (byteAt(reader, q) != crc8(bytes, at, q)) return std::nullopt;

    FrameHeader header;
    header.byteCount = q - at + 1;
    header.blockSizeSamples = blockSize;
    header.sampleRate = sampleRate;
    header.channels = channelAssignment <= 7 ? channelAssignment + 1 : 2;
    header.isVariableBlockSize = variable;
    header.codedNumber = value;
    if (!streamInfo) return header;

    if (header.channels != streamInfo->channels) return std::nullopt;
    if (sampleRate && *sampleRate != streamInfo->sampleRate) return std::nullopt;
    const std::int64_t bits = bitsOfSampleSizeCode(sampleSizeCode);
    if (bits != 0 && bits != streamInfo->bitsPerSample) return std::nullopt;
    if (blockSize > streamInfo->maxBlockSize) return std::nullopt;
    return header;
}

bool FLACFraming::isPlausibleSuccessor(const FrameHeader& candidate, const FrameHeader& previous) {
    return candidate.isVariableBlockSize == previous.isVariableBlockSize &&
           previous.codedNumber < candidate.codedNumber;
}

std::int64_t FLACFraming::maxFrameWindow(const std::optional<StreamInfo>& streamInfo) {
    if (!streamInfo || streamInfo->maxFrameSize < 1) return 0x100000;
    return std::clamp<std::int64_t>(streamInfo->maxFrameSize + 64, 4096, 0x800000);
}

std::optional<FLACFraming::FrameBoundary> FLACFraming::scanFrameBoundary(
    std::span<const std::byte> bytes, std::int64_t frameStart, const FrameHeader& header,
    std::int64_t windowEnd, const std::optional<StreamInfo>& streamInfo) {
    const std::int64_t n = size(bytes);
    const std::int64_t limit = std::min(n, windowEnd);
    if (frameStart < 0 || header.byteCount < 1 || frameStart > n - header.byteCount)
        return std::nullopt;
    const std::int64_t headerEnd = frameStart + header.byteCount;
    if (limit - 2 < headerEnd) return std::nullopt;

    std::uint16_t crc = crc16(bytes, frameStart, headerEnd);
    // maxFrameSize is at most 24 bits, so the sum cannot overflow.
    const std::int64_t fallbackBound = streamInfo && streamInfo->maxFrameSize >= 1
                                           ? frameStart + streamInfo->maxFrameSize + 2
                                           : limit;
    const ByteReader reader(bytes, 0);
    const auto& table = tables().crc16;
    std::optional<std::int64_t> fallbackEnd;
    bool previousMatched = false;
    for (std::int64_t i = headerEnd;; ++i) {
        // i + 2 <= limit holds here: the loop stops once i + 3 > limit.
        const bool matched = reader.peekU16BE(i) == crc;
        if (matched) {
            const std::int64_t end = i + 2;
            if (auto next = parseFrameHeader(bytes, end, streamInfo);
                next && isPlausibleSuccessor(*next, header))
                return FrameBoundary{end, next};
            if (!previousMatched && end <= fallbackBound) fallbackEnd = end;
        }
        previousMatched = matched;
        if (i + 3 > limit) {
            if (fallbackEnd) return FrameBoundary{*fallbackEnd, std::nullopt};
            return std::nullopt;
        }
        crc = static_cast<std::uint16_t>(table[((crc >> 8) ^ byteAt(reader, i)) & 0xFFU] ^
                                         (crc << 8));
    }
}

}  // namespace quarlin
