#include "QuarlinCore/framing/FLACFraming.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/MSBFirstFolding.h"

namespace quarlin {
namespace {

constexpr std::int64_t kStreamInfoLength = 34;
constexpr std::int64_t kMaxMetadataBlocks = 1024;

struct CRCTables {
    std::array<std::uint8_t, 256> crc8{};
    std::array<std::uint16_t, 256> crc16{};
    // crc16Slices[k][b]: the CRC-16 of byte b followed by k zero bytes, for eight bytes a step.
    std::array<std::array<std::uint16_t, 256>, 8> crc16Slices{};
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
        built.crc16Slices[0] = built.crc16;
        for (std::size_t k = 1; k < 8; ++k)
            for (unsigned i = 0; i < 256; ++i) {
                const std::uint16_t previous = built.crc16Slices[k - 1][i];
                built.crc16Slices[k][i] =
                    static_cast<std::uint16_t>((previous << 8) ^ built.crc16[previous >> 8]);
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

// The CRC-16 carried from `crc` over [from, to) of `p`, eight bytes a step where it can.
std::uint16_t crc16WithTables(std::uint16_t crc, const std::byte* p, std::int64_t from, std::int64_t to) {
    const auto& t = tables();
    const auto& s = t.crc16Slices;
    auto at = [p](std::int64_t i) { return std::to_integer<unsigned>(p[i]); };
    std::int64_t i = from;
    for (; to - i >= 8; i += 8) {
        crc = static_cast<std::uint16_t>(s[7][at(i) ^ (crc >> 8)] ^ s[6][at(i + 1) ^ (crc & 0xFFU)] ^
                                         s[5][at(i + 2)] ^ s[4][at(i + 3)] ^ s[3][at(i + 4)] ^
                                         s[2][at(i + 5)] ^ s[1][at(i + 6)] ^ s[0][at(i + 7)]);
    }
    for (; i < to; ++i) crc = static_cast<std::uint16_t>(t.crc16[((crc >> 8) ^ at(i)) & 0xFFU] ^ (crc << 8));
    return crc;
}

// The CRC-16 carried from `crc` over [from, to) of `p`: by carry-less multiplication where the
// processor has it and the range is long enough to pay for it, else by the tables.
std::uint16_t crc16Run(std::uint16_t crc, const std::byte* p, std::int64_t from, std::int64_t to) {
    static const MSBFirstFolder folder(0x8005U, 16);
    if (to - from < static_cast<std::int64_t>(MSBFirstFolder::kFoldFrom) || !MSBFirstFolder::available())
        return crc16WithTables(crc, p, from, to);
    const auto folded = folder.fold(crc, p + from, static_cast<std::size_t>(to - from));
    return crc16WithTables(crc16WithTables(0, folded.block.data(), 0, 16), folded.rest, 0,
                           static_cast<std::int64_t>(folded.restLength));
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
    if (!validRange(bytes, from, to)) return 0;
    return crc16Run(0, bytes.data(), from, to);
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

    // A successor's header starts with a sync byte 0xFF, so only the ends followed by one can
    // be confirmed: they are visited first, the CRC carried eight bytes a step between them.
    // Only when none is confirmed does the byte-by-byte pass below look for the fallback.
    {
        const std::byte* p = bytes.data();
        std::uint16_t running = crc16Run(0, p, frameStart, headerEnd);
        std::int64_t carried = headerEnd;  // running is the CRC of [frameStart, carried)
        for (std::int64_t end = headerEnd + 2; end < std::min(limit, n - 1) + 1 && end < n;) {
            const void* found = std::memchr(p + end, 0xFF, static_cast<std::size_t>(std::min(limit, n - 1) + 1 - end));
            if (!found) break;
            end = static_cast<const std::byte*>(found) - p;
            running = crc16Run(running, p, carried, end - 2);
            carried = end - 2;
            const auto footer = static_cast<std::uint16_t>(std::to_integer<unsigned>(p[end - 2]) << 8 |
                                                           std::to_integer<unsigned>(p[end - 1]));
            if (footer == running) {
                if (auto next = parseFrameHeader(bytes, end, streamInfo); next && isPlausibleSuccessor(*next, header))
                    return FrameBoundary{end, next};
            }
            ++end;
        }
    }

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
            // Every confirmed successor was looked for above.
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

namespace quarlin {

namespace {

// Bits of a frame, most significant first; every read fails past the end of the bytes.
class BitCursor {
public:
    BitCursor(std::span<const std::byte> bytes, std::int64_t byteOffset)
        : bytes_(bytes), bit_(static_cast<std::uint64_t>(byteOffset) * 8) {}
    std::optional<std::uint64_t> read(unsigned count) {
        if (count > 57 || bit_ + count > bytes_.size() * 8) return std::nullopt;
        std::uint64_t value = 0;
        for (unsigned i = 0; i < count; ++i, ++bit_)
            value = value << 1 | ((std::to_integer<unsigned>(bytes_[bit_ >> 3]) >> (7 - (bit_ & 7))) & 1U);
        return value;
    }
    bool skip(std::uint64_t count) {
        if (count > bytes_.size() * 8 - bit_) return false;
        bit_ += count;
        return true;
    }
    // Zeros up to the next one bit, which is passed too; `bound` zeros at most.
    std::optional<std::uint64_t> unary(std::uint64_t bound) {
        std::uint64_t zeros = 0;
        for (;;) {
            if (bit_ >= bytes_.size() * 8) return std::nullopt;
            const unsigned byte = std::to_integer<unsigned>(bytes_[bit_ >> 3]) << (bit_ & 7) & 0xFFU;
            if (byte == 0) {
                zeros += 8 - (bit_ & 7);
                bit_ += 8 - (bit_ & 7);
            } else {
                const auto leading = static_cast<unsigned>(__builtin_clz(byte) - 24);
                zeros += leading;
                bit_ += leading + 1;
                return zeros <= bound ? std::optional(zeros) : std::nullopt;
            }
            if (zeros > bound) return std::nullopt;
        }
    }
    void alignToByte() { bit_ = (bit_ + 7) & ~std::uint64_t{7}; }
    std::int64_t byteOffset() const { return static_cast<std::int64_t>(bit_ >> 3); }

private:
    std::span<const std::byte> bytes_;
    std::uint64_t bit_;
};

bool skipResidual(BitCursor& bits, std::int64_t blockSize, std::int64_t order) {
    const auto method = bits.read(2);
    if (!method || *method > 1) return false;
    const unsigned paramBits = *method == 0 ? 4 : 5;
    const std::uint64_t escape = (1U << paramBits) - 1;
    const auto partitionOrder = bits.read(4);
    if (!partitionOrder) return false;
    const std::int64_t partitions = std::int64_t{1} << *partitionOrder;
    if (blockSize % partitions != 0 || (blockSize >> *partitionOrder) < order) return false;
    for (std::int64_t p = 0; p < partitions; ++p) {
        const std::int64_t samples = (blockSize >> *partitionOrder) - (p == 0 ? order : 0);
        const auto parameter = bits.read(paramBits);
        if (!parameter) return false;
        if (*parameter == escape) {
            const auto raw = bits.read(5);
            if (!raw || !bits.skip(static_cast<std::uint64_t>(samples) * *raw)) return false;
            continue;
        }
        for (std::int64_t i = 0; i < samples; ++i)
            if (!bits.unary(std::uint64_t{1} << 32) || !bits.skip(*parameter)) return false;
    }
    return true;
}

bool skipSubframe(BitCursor& bits, std::int64_t blockSize, unsigned sampleBits) {
    const auto head = bits.read(8);
    if (!head || (*head & 0x80U)) return false;
    const unsigned type = (*head >> 1) & 0x3FU;
    if (*head & 1U) {
        const auto wasted = bits.unary(sampleBits);
        if (!wasted || *wasted + 1 >= sampleBits) return false;
        sampleBits -= static_cast<unsigned>(*wasted + 1);
    }
    if (type == 0) return bits.skip(sampleBits);
    if (type == 1) return bits.skip(static_cast<std::uint64_t>(blockSize) * sampleBits);
    if (type >= 8 && type <= 12) {
        const std::int64_t order = type - 8;
        return bits.skip(static_cast<std::uint64_t>(order) * sampleBits) && skipResidual(bits, blockSize, order);
    }
    if (type >= 32) {
        const std::int64_t order = (type & 0x1FU) + 1;
        if (!bits.skip(static_cast<std::uint64_t>(order) * sampleBits)) return false;
        const auto precision = bits.read(4);
        if (!precision || *precision == 15 || !bits.skip(5)) return false;
        return bits.skip(static_cast<std::uint64_t>(order) * (*precision + 1)) && skipResidual(bits, blockSize, order);
    }
    return false;
}

}  // namespace

std::optional<std::int64_t> FLACFraming::frameEndByStructure(std::span<const std::byte> bytes, std::int64_t frameStart,
                                                             const FrameHeader& header,
                                                             const std::optional<StreamInfo>& streamInfo) {
    const std::int64_t n = size(bytes);
    if (frameStart < 0 || header.byteCount < 4 || frameStart > n - header.byteCount) return std::nullopt;
    const unsigned assignmentAndSize = std::to_integer<unsigned>(bytes[static_cast<std::size_t>(frameStart + 3)]);
    const unsigned assignment = assignmentAndSize >> 4;
    static constexpr std::array<unsigned, 8> sizes{0, 8, 12, 0, 16, 20, 24, 32};
    unsigned sampleBits = sizes[(assignmentAndSize >> 1) & 7U];
    if (((assignmentAndSize >> 1) & 7U) == 0) sampleBits = streamInfo ? static_cast<unsigned>(streamInfo->bitsPerSample) : 0;
    if (sampleBits == 0 || assignment > 10) return std::nullopt;
    const unsigned channels = assignment <= 7 ? assignment + 1 : 2;
    BitCursor bits(bytes, frameStart + header.byteCount);
    for (unsigned channel = 0; channel < channels; ++channel) {
        // The side channel of a stereo decorrelation carries one more bit.
        const bool side = (assignment == 8 && channel == 1) || (assignment == 9 && channel == 0) ||
                          (assignment == 10 && channel == 1);
        if (!skipSubframe(bits, header.blockSizeSamples, sampleBits + (side ? 1 : 0))) return std::nullopt;
    }
    bits.alignToByte();
    const std::int64_t footer = bits.byteOffset();
    if (footer > n - 2) return std::nullopt;
    const std::uint16_t stored = static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[static_cast<std::size_t>(footer)]) << 8 |
                                                            std::to_integer<unsigned>(bytes[static_cast<std::size_t>(footer + 1)]));
    if (crc16Run(0, bytes.data(), frameStart, footer) != stored) return std::nullopt;
    return footer + 2;
}

}  // namespace quarlin
