#include "QuarlinCore/carving/MPEGWalker.h"

#include <array>
#include <bit>
#include <cstring>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/FLACFraming.h"
#include "QuarlinCore/framing/MSBFirstFolding.h"
#include "QuarlinCore/framing/MPEGAudioFraming.h"

namespace quarlin {
namespace {

constexpr std::int64_t kID3v1Length = 128;
constexpr std::int64_t kID3v2HeaderLength = 10;

bool hasTagMark(const ByteReader& reader, std::int64_t at, const char (&mark)[4]) {
    return reader.peekU8(at) == mark[0] && reader.peekU8(at + 1) == mark[1] &&
           reader.peekU8(at + 2) == mark[2];
}

// Version, layer and sample-rate bits of a frame header, which stay fixed along one stream.
std::uint32_t streamKey(const ByteReader& reader, std::int64_t at) {
    return (std::uint32_t{reader.peekU8(at + 1)} & 0x1EU) << 8 | (reader.peekU8(at + 2) & 0x0CU);
}

// Where the header that an encoder writes into the first frame of a stream only would stand:
// "Xing" or "Info" after the side information, "VBRI" at a fixed place.
std::int64_t xingTagAt(const ByteReader& reader, std::int64_t at) {
    const bool mpeg1 = ((reader.peekU8(at + 1) >> 3) & 3U) == 3U;
    const bool mono = (reader.peekU8(at + 3) >> 6) == 3U;
    const bool crc = (reader.peekU8(at + 1) & 1U) == 0;
    const std::int64_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    return at + 4 + (crc ? 2 : 0) + sideInfo;
}
constexpr std::int64_t kVBRITagOffset = 36;

bool markAt(const ByteReader& reader, std::int64_t p, std::int64_t frameEnd,
            const char (&mark)[5]) {
    if (p + 4 > frameEnd) return false;
    for (int i = 0; i < 4; ++i)
        if (reader.peekU8(p + i) != static_cast<std::uint8_t>(mark[i])) return false;
    return true;
}

// Whether the frame at `at` carries a stream's opening header: such a frame after the first
// begins another file whose frames happen to match.
bool beginsAStream(const ByteReader& reader, std::int64_t at, std::int64_t frameEnd) {
    const std::int64_t tag = xingTagAt(reader, at);
    return markAt(reader, tag, frameEnd, "Xing") || markAt(reader, tag, frameEnd, "Info") ||
           markAt(reader, at + kVBRITagOffset, frameEnd, "VBRI");
}

// The frame count that the opening header of the frame at `at` declares (0 when it has none):
// a "Xing" or "Info" header with its frames flag, or a "VBRI" header.
std::int64_t declaredFrames(const ByteReader& reader, std::int64_t at, std::int64_t frameEnd) {
    const std::int64_t tag = xingTagAt(reader, at);
    if ((markAt(reader, tag, frameEnd, "Xing") || markAt(reader, tag, frameEnd, "Info")) &&
        tag + 12 <= frameEnd && (reader.peekU32BE(tag + 4) & 1U))
        return reader.peekU32BE(tag + 8);
    const std::int64_t vbri = at + kVBRITagOffset;
    if (markAt(reader, vbri, frameEnd, "VBRI") && vbri + 18 <= frameEnd)
        return reader.peekU32BE(vbri + 14);
    return 0;
}

// The LAME tag that follows a "Xing" or "Info" header in the first frame, when its CRC-16 (of
// the frame up to that field) matches.
std::optional<MPEGWalk::LAMETag> lameTag(std::span<const std::byte> bytes, std::int64_t at,
                                         std::int64_t frameEnd) {
    const ByteReader reader(bytes);
    const std::int64_t tag = xingTagAt(reader, at);
    if (!markAt(reader, tag, frameEnd, "Xing") && !markAt(reader, tag, frameEnd, "Info"))
        return std::nullopt;
    if (tag + 8 > frameEnd) return std::nullopt;
    const std::uint32_t flags = reader.peekU32BE(tag + 4);
    // Frame count, byte count, seek table and quality, each present by its flag.
    const std::int64_t lame = tag + 8 + ((flags & 1U) ? 4 : 0) + ((flags & 2U) ? 4 : 0) +
                              ((flags & 4U) ? 100 : 0) + ((flags & 8U) ? 4 : 0);
    constexpr std::int64_t kLAMETagLength = 36;
    if (lame + kLAMETagLength > frameEnd) return std::nullopt;
    const auto covered =
        bytes.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(lame + 34 - at));
    if (MPEGWalker::crc16(covered) != reader.peekU16BE(lame + 34)) return std::nullopt;
    MPEGWalk::LAMETag result{reader.peekU32BE(lame + 28), reader.peekU16BE(lame + 32)};
    if (result.musicLength < frameEnd - at) return std::nullopt;
    return result;
}

constexpr std::int64_t kAPEFrameLength = 32;  // the header and the footer of an APEv2 tag
constexpr std::int64_t kAPESearch = 1 << 20;    // how far a tag without a header is looked for

bool isAPEFrame(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || n - at < kAPEFrameLength) return false;
    static constexpr char mark[] = "APETAGEX";
    for (int i = 0; i < 8; ++i)
        if (std::to_integer<char>(bytes[static_cast<std::size_t>(at + i)]) != mark[i]) return false;
    return true;
}

// The length of an APEv2 (or v1) tag that starts at `at`: from its header, whose size counts
// the items and the footer; or, for a tag written without a header, from the footer found
// within kAPESearch bytes whose size reaches back exactly to `at`.
std::optional<std::int64_t> apeTagLength(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    const ByteReader reader(bytes);
    if (isAPEFrame(bytes, at)) {
        const std::int64_t size = reader.peekU32LE(at + 12);
        if (size < kAPEFrameLength || size > n - at - kAPEFrameLength) return std::nullopt;
        if (!isAPEFrame(bytes, at + size)) return std::nullopt;  // the footer ends the tag
        return kAPEFrameLength + size;
    }
    // Items begin with a 4-byte value length, 4 flag bytes (only the low bits in use), then a
    // printable key: anything else is no tag, and the footer is not looked for.
    if (n - at < 9 || reader.peekU32LE(at) > kAPESearch || reader.peekU32LE(at + 4) > 0xFF ||
        reader.peekU8(at + 8) < 0x20 || reader.peekU8(at + 8) > 0x7E)
        return std::nullopt;
    const std::int64_t window = std::min(n - at, kAPESearch + kAPEFrameLength);
    const void* hit = memmem(bytes.data() + at, static_cast<std::size_t>(window), "APETAGEX", 8);
    if (!hit) return std::nullopt;
    const std::int64_t footer = static_cast<const std::byte*>(hit) - bytes.data();
    if (!isAPEFrame(bytes, footer)) return std::nullopt;
    const std::int64_t size = reader.peekU32LE(footer + 12);
    return size == footer + kAPEFrameLength - at ? std::optional(size) : std::nullopt;
}

}  // namespace

std::uint16_t MPEGWalker::crc16(std::span<const std::byte> bytes, std::uint16_t crc) {
    // Eight bytes a step, loaded little-endian: table k carries a byte k places before the last.
    static_assert(std::endian::native == std::endian::little);
    static const auto tables = [] {
        std::array<std::array<std::uint16_t, 256>, 8> t{};
        for (unsigned b = 0; b < 256; ++b) {
            std::uint16_t c = static_cast<std::uint16_t>(b);
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1U) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001U) : c >> 1;
            t[0][b] = c;
        }
        for (std::size_t k = 1; k < 8; ++k)
            for (unsigned b = 0; b < 256; ++b)
                t[k][b] =
                    static_cast<std::uint16_t>((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFU]);
        return t;
    }();
    const std::byte* p = bytes.data();
    std::size_t left = bytes.size();
    // A long range by carry-less multiplication: this CRC takes each byte's lowest bit first, so
    // it is the mirror of FLAC's CRC-16 (the same polynomial, highest bit first) over the bytes
    // mirrored, from the mirrored register.
    static const MSBFirstFolder folder(0x8005U, 16, true);
    if (left >= MSBFirstFolder::kFoldFrom && MSBFirstFolder::available()) {
        const auto mirror8 = [](unsigned b) {
            b = (b & 0xF0U) >> 4 | (b & 0x0FU) << 4;
            b = (b & 0xCCU) >> 2 | (b & 0x33U) << 2;
            return static_cast<std::uint8_t>((b & 0xAAU) >> 1 | (b & 0x55U) << 1);
        };
        const auto mirror16 = [&](unsigned r) { return static_cast<std::uint16_t>(mirror8(r & 0xFFU) << 8 | mirror8(r >> 8)); };
        const auto folded = folder.fold(mirror16(crc), p, left);
        std::uint16_t reg = 0;
        for (const std::byte b : folded.block) reg = FLACFraming::crc16Update(reg, std::to_integer<std::uint8_t>(b));
        for (std::size_t i = 0; i < folded.restLength; ++i)
            reg = FLACFraming::crc16Update(reg, mirror8(std::to_integer<unsigned>(folded.rest[i])));
        return mirror16(reg);
    }
    for (; left >= 8; left -= 8, p += 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        v ^= crc;
        crc = static_cast<std::uint16_t>(tables[7][v & 0xFF] ^ tables[6][(v >> 8) & 0xFF] ^
                                         tables[5][(v >> 16) & 0xFF] ^ tables[4][(v >> 24) & 0xFF] ^
                                         tables[3][(v >> 32) & 0xFF] ^ tables[2][(v >> 40) & 0xFF] ^
                                         tables[1][(v >> 48) & 0xFF] ^ tables[0][v >> 56]);
    }
    for (; left > 0; --left, ++p)
        crc = static_cast<std::uint16_t>((crc >> 8) ^
                                         tables[0][(crc ^ std::to_integer<unsigned>(*p)) & 0xFFU]);
    return crc;
}

std::optional<std::int64_t> MPEGWalker::id3v2Length(std::span<const std::byte> bytes,
                                                    std::int64_t at) {
    const auto length = id3v2DeclaredLength(bytes, at);
    if (!length || *length > static_cast<std::int64_t>(bytes.size()) - at) return std::nullopt;
    return length;
}

std::optional<std::int64_t> MPEGWalker::id3v2DeclaredLength(std::span<const std::byte> bytes,
                                                            std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n || n - at < kID3v2HeaderLength) return std::nullopt;
    const ByteReader reader(bytes);
    if (!hasTagMark(reader, at, "ID3")) return std::nullopt;
    const std::uint8_t major = reader.peekU8(at + 3);
    if (major < 2 || major > 4 || reader.peekU8(at + 4) == 0xFF) return std::nullopt;
    std::int64_t size = 0;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t b = reader.peekU8(at + 6 + i);
        if (b & 0x80U) return std::nullopt;
        size = size << 7 | b;
    }
    const bool footer = major == 4 && (reader.peekU8(at + 5) & 0x10U);
    return kID3v2HeaderLength + size + (footer ? kID3v2HeaderLength : 0);
}

std::optional<MPEGWalk> MPEGWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n) return std::nullopt;
    const ByteReader reader(bytes);
    MPEGWalk walk;
    std::int64_t pos = at;
    if (const auto tag = id3v2Length(bytes, at)) {
        walk.id3v2 = true;
        pos += *tag;
    }

    const auto first = MPEGAudioFraming::frameLength(bytes, pos);
    if (!first || *first > n - pos) return std::nullopt;
    const std::uint32_t key = streamKey(reader, pos);
    for (auto length = first; length && *length <= n - pos && streamKey(reader, pos) == key &&
                              (walk.frames == 0 || !beginsAStream(reader, pos, pos + *length));
         length = MPEGAudioFraming::frameLength(bytes, pos)) {
        if (walk.frames == 0) {
            walk.declaredFrames = declaredFrames(reader, pos, pos + *length);
            walk.lame = lameTag(bytes, pos, pos + *length);
            walk.firstFrameEnd = pos + *length - at;
        }
        ++walk.frames;
        pos += *length;
    }
    walk.framesEnd = pos - at;

    // Tags after the frames: an ID3v2.4 tag appended with its footer, an APEv2 tag, in either
    // order, then an ID3v1 tag. An ID3v2 tag without a footer is the start of another file.
    for (bool more = true; more;) {
        more = false;
        if (n - pos >= kID3v2HeaderLength && hasTagMark(reader, pos, "ID3") && reader.peekU8(pos + 3) == 4 &&
            (reader.peekU8(pos + 5) & 0x10U)) {
            if (const auto tag = id3v2Length(bytes, pos)) {
                walk.appendedID3v2 = true;
                pos += *tag;
                more = true;
            }
        }
        if (const auto tag = apeTagLength(bytes, pos)) {
            walk.apeTag = true;
            pos += *tag;
            more = true;
        }
    }
    if (n - pos >= kID3v1Length && hasTagMark(reader, pos, "TAG")) {
        walk.id3v1 = true;
        pos += kID3v1Length;
    }
    walk.length = pos - at;
    return walk;
}

}  // namespace quarlin
