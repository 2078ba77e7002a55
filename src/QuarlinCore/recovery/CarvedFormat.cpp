#include "QuarlinCore/recovery/CarvedFormat.h"

#include <algorithm>
#include <cstring>

#include "QuarlinCore/carving/EBMLWalker.h"
#include "QuarlinCore/carving/FLACWalker.h"
#include "QuarlinCore/carving/MPEGWalker.h"
#include "QuarlinCore/carving/OggWalker.h"
#include "QuarlinCore/carving/PSTWalker.h"
#include "QuarlinCore/carving/RAR4Walker.h"
#include "QuarlinCore/carving/RAR5Walker.h"
#include "QuarlinCore/carving/XARWalker.h"
#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/CRC32.h"
#include "QuarlinCore/framing/DeflateFraming.h"
#include "QuarlinCore/framing/EBMLFraming.h"
#include "QuarlinCore/framing/FLACFraming.h"
#include "QuarlinCore/framing/MPEGAudioFraming.h"
#include "QuarlinCore/framing/PSTFraming.h"
#include "QuarlinCore/framing/RAR4Framing.h"
#include "QuarlinCore/framing/RAR5Framing.h"
#include "QuarlinCore/framing/UDIFFraming.h"
#include "QuarlinCore/framing/XARFraming.h"
#include "QuarlinCore/recovery/PSTChecksums.h"
#include "QuarlinCore/recovery/RARChecksums.h"
#include "QuarlinCore/recovery/XARChecksums.h"

namespace quarlin::recovery {
namespace {

using namespace std::string_view_literals;

constexpr std::array<std::string_view, kCarvedFormatCount> kNames{"rar4", "rar5", "deflate", "mpeg", "flac",
                                                                  "ogg",  "pst",  "udif",    "ebml", "xar"};

constexpr std::int64_t kLongestMPEGFrame = 2881;  // the longest frame a header can declare
// Bytes past a walk's end within which a cut unit may still lie: a walk that stops closer
// than this to the end of its bytes may have been stopped by that end.
constexpr std::int64_t kMPEGSlack = 4096;         // the longest frame and an ID3v1 tag
constexpr std::int64_t kOggSlack = 65307 + 1024;  // the longest page
constexpr std::int64_t kEBMLHeaderSlack = 16;     // the longest ID and size field
// An EBML header of more data than this is taken for noise (real ones hold a few dozen bytes):
// so a header cut by the bytes is asked for whole, and every cut of a file measures alike.
constexpr std::uint64_t kLongestEBMLHeader = 4096;
constexpr std::int64_t kFLACFirstFrameBytes = 64 << 10;
// How far an ID3 tag or FLAC metadata cut by the end of the bytes is read through before its
// frames decide: bounded, so that a false header in every sector cannot make each of them read
// far ahead.
constexpr std::int64_t kLongestHeadReadThrough = 16 << 20;
// Random bytes read as a deflate stream turn invalid within 64 bytes (in 20,000 tries); a
// stream that went on for this long before it did was real data.
constexpr std::int64_t kLongestNoiseDecodes = 512;

bool hasPrefix(std::span<const std::byte> bytes, std::int64_t at, std::string_view prefix) {
    if (at < 0 || static_cast<std::int64_t>(bytes.size()) - at < static_cast<std::int64_t>(prefix.size())) return false;
    return std::memcmp(bytes.data() + at, prefix.data(), prefix.size()) == 0;
}

std::uint8_t byteAt(std::span<const std::byte> bytes, std::int64_t at) {
    return std::to_integer<std::uint8_t>(bytes[static_cast<std::size_t>(at)]);
}

// Asks for twice the bytes at hand, but never more than the source holds.
std::int64_t moreThan(std::int64_t have, std::int64_t toSourceEnd) {
    if (have >= toSourceEnd) return 0;
    return std::min(toSourceEnd, std::max<std::int64_t>(have, 1 << 20) * 2);
}

Measurement found(std::int64_t length, std::string extension,
                  IntegrityVerdict verdict = IntegrityVerdict::looksIntact()) {
    Measurement m;
    m.length = length;
    m.extension = std::move(extension);
    m.verdict = std::move(verdict);
    return m;
}

const std::string kCutShort = "the bytes end before the file does";

// An archive whose walk reached its end: intact unless data it stores as it is fails its CRC.
Measurement wholeRAR(std::span<const std::byte> bytes, std::int64_t length) {
    if (auto why = rarStoredDataMismatch(bytes.first(static_cast<std::size_t>(length))))
        return found(length, "rar", IntegrityVerdict::failed(std::move(*why)));
    return found(length, "rar");
}

std::optional<Measurement> measureRAR4(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto walk = RAR4Walker::walk(bytes, 0);
    if (!walk) return std::nullopt;
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (walk->blocks < 2) {
        // Only the signature: an archive only when the block after it (the main header, which
        // held the comment of old archives) is cut by the end of the bytes, which are then
        // asked for.
        const auto next = RAR4Framing::parseBlock(bytes, walk->length);
        if (!next || next->totalLength <= static_cast<std::uint64_t>(n - walk->length) ||
            next->totalLength > static_cast<std::uint64_t>(toEnd - walk->length))
            return std::nullopt;
        Measurement m = found(walk->length, "rar", IntegrityVerdict::mayBePartial(kCutShort));
        m.bytesWanted = walk->length + static_cast<std::int64_t>(next->totalLength);
        return m;
    }
    if (walk->endReached) return wholeRAR(bytes, walk->length);
    Measurement m = found(walk->length, "rar", IntegrityVerdict::mayBePartial("the archive has no end-of-archive block"));
    if (const auto next = RAR4Framing::parseBlock(bytes, walk->length)) {
        if (next->totalLength > static_cast<std::uint64_t>(n - walk->length) &&
            next->totalLength <= static_cast<std::uint64_t>(toEnd - walk->length))
            m.bytesWanted = walk->length + static_cast<std::int64_t>(next->totalLength);
    } else if (n - walk->length < 64) {
        m.bytesWanted = moreThan(n, toEnd);
    }
    return m;
}

std::optional<Measurement> measureRAR5(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto walk = RAR5Walker::walk(bytes, 0);
    if (!walk || walk->blocks < 1) return std::nullopt;
    if (walk->endReached) return wholeRAR(bytes, walk->length);
    if (walk->crcMismatches > 0)
        return found(walk->length, "rar", IntegrityVerdict::failed("a block header fails its CRC-32"));
    if (walk->encryptedHeaders)
        return found(walk->length, "rar",
                     IntegrityVerdict::mayBePartial("the headers are encrypted, so the archive's end is unknown"));
    Measurement m = found(walk->length, "rar", IntegrityVerdict::mayBePartial("the archive has no end-of-archive block"));
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (const auto next = RAR5Framing::parseBlock(bytes, walk->length)) {
        if (next->crcMatches && next->totalLength > static_cast<std::uint64_t>(n - walk->length) &&
            next->totalLength <= static_cast<std::uint64_t>(toEnd - walk->length))
            m.bytesWanted = walk->length + static_cast<std::int64_t>(next->totalLength);
    } else if (const auto size = RAR5Framing::readVInt(bytes, walk->length + 4, n)) {
        // A header that the end of the bytes cuts (a file's long name): its bytes are asked for,
        // up to the largest header the format allows.
        constexpr std::uint64_t kMostHeaderBytes = 0x200000;
        const std::int64_t headerEnd = size->end + static_cast<std::int64_t>(std::min(size->value, kMostHeaderBytes));
        if (size->value <= kMostHeaderBytes && headerEnd > n && headerEnd <= toEnd) m.bytesWanted = headerEnd;
    } else if (n - walk->length < 64) {
        m.bytesWanted = moreThan(n, toEnd);
    }
    return m;
}

// A raw deflate stream inflated from `at`: finished, cut short by the end of the bytes, or
// corrupt.
struct Inflated {
    DeflateFraming::ScanState state;
    std::int64_t compressedLength = 0;
    std::uint64_t outputLength = 0;
    std::uint32_t crc32 = 0;
};

Inflated inflateAt(std::span<const std::byte> bytes, std::int64_t at) {
    auto scanner = DeflateFraming::RawInflateScanner::make(DeflateFraming::scanScratchSize);
    if (!scanner || at < 0 || at > static_cast<std::int64_t>(bytes.size()))
        return {DeflateFraming::ScanState::corrupt};
    const auto state = scanner->consume(bytes.subspan(static_cast<std::size_t>(at)));
    return {state, static_cast<std::int64_t>(scanner->totalIn()), scanner->totalOut(), scanner->outputCRC32()};
}

// Thrown inside the container measurements when a structure runs past the bytes at hand.
struct CutShort {};

// A member cut short by the end of the source, after whole members, is the start of another
// file: the file is the members before it.
std::optional<Measurement> cutGzip(int members, std::int64_t pos, std::int64_t n, std::int64_t toEnd,
                                   const std::string& mismatch) {
    Measurement m = found(std::max<std::int64_t>(pos, 10), "gz", IntegrityVerdict::mayBePartial(kCutShort));
    m.bytesWanted = moreThan(n, toEnd);
    if (members == 0 && m.bytesWanted == 0) return std::nullopt;
    if (members > 0 && m.bytesWanted == 0)
        m.verdict = mismatch.empty() ? IntegrityVerdict::looksIntact() : IntegrityVerdict::failed(mismatch);
    return m;
}

// One gzip member or several back to back; each member's CRC-32 and size are checked.
std::optional<Measurement> measureGzip(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    const ByteReader reader(bytes);
    std::int64_t pos = 0;
    int members = 0;
    std::string mismatch;
    try {
        while (hasPrefix(bytes, pos, "\x1f\x8b\x08"sv)) {
            const std::uint8_t flags = reader.peekU8(pos + 3);
            if (flags & 0xE0) break;
            std::int64_t at = pos + 10;
            if (flags & 0x04) at += 2 + reader.peekU16LE(at);
            for (const std::uint8_t field : {std::uint8_t{0x08}, std::uint8_t{0x10}}) {
                if (!(flags & field)) continue;
                const auto rest = reader.peekBytes(at, std::min<std::int64_t>(n - at, 65536));
                const auto zero = std::find(rest.begin(), rest.end(), std::byte{0});
                if (zero == rest.end()) throw CutShort{};
                at += (zero - rest.begin()) + 1;
            }
            if (flags & 0x02) at += 2;
            if (at > n) throw CutShort{};
            const Inflated stream = inflateAt(bytes, at);
            if (stream.state == DeflateFraming::ScanState::needsMoreInput) {
                if (members == 0 && n >= toEnd && stream.compressedLength >= kLongestNoiseDecodes)
                    return found(
                        n, "gz",
                        IntegrityVerdict::mayBePartial("the source ends before the file does"));
                throw CutShort{};
            }
            if (stream.state == DeflateFraming::ScanState::corrupt) {
                // Noise behind a gzip header stops decoding within a few dozen bytes; a first
                // member that decoded for longer is a file cut short and overwritten.
                if (members == 0 && stream.compressedLength >= kLongestNoiseDecodes)
                    return found(at + stream.compressedLength, "gz",
                                 IntegrityVerdict::mayBePartial(
                                     "the deflate stream stops decoding after " +
                                     std::to_string(stream.compressedLength) + " bytes"));
                break;
            }
            const std::int64_t trailer = at + stream.compressedLength;
            const std::uint32_t crc = reader.peekU32LE(trailer);
            const std::uint32_t size = reader.peekU32LE(trailer + 4);
            if (crc != stream.crc32 || size != static_cast<std::uint32_t>(stream.outputLength))
                mismatch = "member " + std::to_string(members + 1) + " fails its CRC-32 or size check";
            pos = trailer + 8;
            ++members;
        }
    } catch (const CutShort&) {
        return cutGzip(members, pos, n, toEnd, mismatch);
    } catch (const ByteReaderError&) {
        return cutGzip(members, pos, n, toEnd, mismatch);
    }
    if (members == 0) return std::nullopt;
    // The bytes end where another member's magic would begin: whether one follows is asked.
    if (n - pos < 3 && "\x1f\x8b\x08"sv.starts_with(std::string_view(reinterpret_cast<const char*>(bytes.data()) + pos,
                                                                     static_cast<std::size_t>(n - pos))))
        return cutGzip(members, pos, n, toEnd, mismatch);
    return found(pos, "gz", mismatch.empty() ? IntegrityVerdict::looksIntact() : IntegrityVerdict::failed(mismatch));
}

// A zip archive: local entries (each deflated or stored entry inflated or summed and checked
// against its CRC-32), then the central directory and the end-of-central-directory record.
std::optional<Measurement> measureZip(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    const ByteReader reader(bytes);
    std::int64_t pos = 0;
    int entries = 0;
    std::string mismatch;
    bool endReached = false;
    std::string stoppedBecause = "the archive has no end-of-central-directory record";
    try {
        while (hasPrefix(bytes, pos, "PK\x03\x04"sv)) {
            const std::uint16_t flags = reader.peekU16LE(pos + 6);
            const std::uint16_t method = reader.peekU16LE(pos + 8);
            const std::uint32_t crc = reader.peekU32LE(pos + 14);
            std::uint64_t compressed = reader.peekU32LE(pos + 18);
            std::uint64_t uncompressed = reader.peekU32LE(pos + 22);
            const std::int64_t nameLength = reader.peekU16LE(pos + 26);
            const std::int64_t extraLength = reader.peekU16LE(pos + 28);
            const std::int64_t data = pos + 30 + nameLength + extraLength;
            bool zip64 = false;
            // Zip64: the sizes that read as all ones stand in the extra field 0x0001, in order.
            for (std::int64_t e = pos + 30 + nameLength; e + 4 <= data;) {
                const std::uint16_t id = reader.peekU16LE(e);
                const std::int64_t size = reader.peekU16LE(e + 2);
                if (id == 0x0001) {
                    zip64 = true;
                    std::int64_t field = e + 4;
                    if (uncompressed == 0xFFFFFFFF && field + 8 <= e + 4 + size) uncompressed = reader.peekU64LE(field), field += 8;
                    if (compressed == 0xFFFFFFFF && field + 8 <= e + 4 + size) compressed = reader.peekU64LE(field);
                }
                e += 4 + size;
            }
            if (data > n) throw CutShort{};
            const bool encrypted = flags & 0x0001;
            if (flags & 0x0008) {
                // Sizes follow the data; only a deflated stream tells where its data ends.
                if (method != 8 || encrypted) {
                    stoppedBecause = "an entry's length is known only from its data descriptor";
                    break;
                }
                const Inflated stream = inflateAt(bytes, data);
                if (stream.state == DeflateFraming::ScanState::needsMoreInput) throw CutShort{};
                if (stream.state == DeflateFraming::ScanState::corrupt) {
                    stoppedBecause = "an entry's deflate stream is corrupt";
                    break;
                }
                std::int64_t descriptor = data + stream.compressedLength;
                if (reader.peekU32LE(descriptor) == 0x08074B50) descriptor += 4;
                const std::uint32_t storedCRC = reader.peekU32LE(descriptor);
                // The descriptor's sizes are 8 bytes wide in zip64 archives, else 4.
                const bool wide = zip64 || reader.peekU32LE(descriptor + 4) != static_cast<std::uint32_t>(stream.compressedLength);
                const std::int64_t descriptorEnd = descriptor + 4 + (wide ? 16 : 8);
                if (descriptorEnd > n) throw CutShort{};
                if (storedCRC != stream.crc32) mismatch = "entry " + std::to_string(entries + 1) + " fails its CRC-32";
                pos = descriptorEnd;
            } else {
                if (compressed > static_cast<std::uint64_t>(n - data)) throw CutShort{};
                const auto payload = bytes.subspan(static_cast<std::size_t>(data), static_cast<std::size_t>(compressed));
                if (!encrypted && method == 8) {
                    const Inflated stream = inflateAt(payload, 0);
                    if (stream.state != DeflateFraming::ScanState::finished || stream.crc32 != crc ||
                        stream.outputLength != uncompressed)
                        mismatch = "entry " + std::to_string(entries + 1) + " fails its CRC-32 or size check";
                } else if (!encrypted && method == 0) {
                    if (DeflateFraming::crc32Checksum(payload) != crc || compressed != uncompressed)
                        mismatch = "entry " + std::to_string(entries + 1) + " fails its CRC-32";
                }
                pos = data + static_cast<std::int64_t>(compressed);
            }
            ++entries;
        }
        if (entries > 0 && stoppedBecause.starts_with("the archive")) {
            // A directory entry counts only when another record follows it, so that a cut
            // directory ends the archive at its last whole entry.
            while (hasPrefix(bytes, pos, "PK\x01\x02"sv)) {
                const std::int64_t next =
                    pos + 46 + reader.peekU16LE(pos + 28) + reader.peekU16LE(pos + 30) + reader.peekU16LE(pos + 32);
                if (next + 4 > n) throw CutShort{};
                if (!hasPrefix(bytes, next, "PK\x01\x02"sv) && !hasPrefix(bytes, next, "PK\x05\x06"sv) &&
                    !hasPrefix(bytes, next, "PK\x06\x06"sv) && !hasPrefix(bytes, next, "PK\x06\x07"sv))
                    break;
                pos = next;
            }
            if (hasPrefix(bytes, pos, "PK\x06\x06"sv)) {
                const std::uint64_t size = reader.peekU64LE(pos + 4);
                if (size > static_cast<std::uint64_t>(n - pos - 12)) throw CutShort{};
                pos += 12 + static_cast<std::int64_t>(size);
            }
            if (hasPrefix(bytes, pos, "PK\x06\x07"sv)) {
                if (n - pos < 20) throw CutShort{};
                pos += 20;
            }
            if (hasPrefix(bytes, pos, "PK\x05\x06"sv)) {
                const std::int64_t end = pos + 22 + reader.peekU16LE(pos + 20);
                if (end > n) throw CutShort{};
                pos = end;
                endReached = true;
            } else if (n - pos < 4) {
                throw CutShort{};
            }
        }
    } catch (const CutShort&) {
        endReached = false;
        stoppedBecause = kCutShort;
    } catch (const ByteReaderError&) {
        endReached = false;
        stoppedBecause = kCutShort;
    }
    if (entries == 0) {
        if (stoppedBecause != kCutShort || n >= toEnd) return std::nullopt;
        Measurement m = found(30, "zip", IntegrityVerdict::mayBePartial(kCutShort));
        m.bytesWanted = moreThan(n, toEnd);
        return m;
    }
    pos = std::min(pos, n);  // a structure cut short is not counted past the bytes
    if (endReached && mismatch.empty()) return found(pos, "zip");
    // An entry that failed its check does not end the archive: the bytes that cut the rest
    // short are asked for all the same, so that its length does not depend on how many the
    // walk was given.
    Measurement m = found(pos, "zip", mismatch.empty() ? IntegrityVerdict::mayBePartial(stoppedBecause)
                                                       : IntegrityVerdict::failed(mismatch));
    if (stoppedBecause == kCutShort) m.bytesWanted = moreThan(n, toEnd);
    return m;
}

// A tag and a frame, or a run of frames, that the end of the bytes may have cut off (a candidate
// near the end of a chunk): no file yet, but the bytes that decide are asked for.
std::optional<Measurement> mpegCutShort(std::span<const std::byte> bytes, std::int64_t toEnd) {
    constexpr std::int64_t kFramesOfARun = 4 * kLongestMPEGFrame;
    const auto n = static_cast<std::int64_t>(bytes.size());
    const auto tag = MPEGWalker::id3v2DeclaredLength(bytes, 0);
    if (tag ? *tag > kLongestHeadReadThrough : !MPEGAudioFraming::frameLength(bytes, 0)) return std::nullopt;
    const std::int64_t decides = tag ? *tag + kMPEGSlack : kFramesOfARun;
    if (n >= decides || n >= toEnd) return std::nullopt;
    Measurement m = found(0, "mp3");
    m.bytesWanted = std::min(decides, toEnd);
    return m;
}

std::optional<Measurement> measureMPEG(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto walk = MPEGWalker::walk(bytes, 0);
    // A lone sync word is no file: without a tag it takes a run of frames.
    if (!walk || walk->frames < (walk->id3v2 ? 1 : 4)) return mpegCutShort(bytes, toEnd);
    const std::int64_t first = walk->id3v2 ? *MPEGWalker::id3v2Length(bytes, 0) : 0;
    const int layer = (byteAt(bytes, first + 1) >> 1) & 3;
    Measurement m = found(walk->length, layer == 3 ? "mp1" : layer == 2 ? "mp2" : "mp3");
    if (walk->lame) {
        // The music runs from the first frame for the length the LAME tag records, and the frames
        // after the first carry the tag's CRC-16.
        const std::int64_t musicEnd = first + walk->lame->musicLength;
        if (walk->framesEnd < musicEnd) {
            m.verdict = IntegrityVerdict::mayBePartial(
                "the frames end before the length its LAME tag records");
        } else if (MPEGWalker::crc16(
                       bytes.subspan(static_cast<std::size_t>(walk->firstFrameEnd),
                                     static_cast<std::size_t>(musicEnd - walk->firstFrameEnd))) !=
                   walk->lame->musicCRC) {
            m.verdict = IntegrityVerdict::failed("its frames fail the CRC-16 its LAME tag records");
        } else if (walk->framesEnd > musicEnd) {
            // The frames right after the music, with no tag between, are another file's.
            m.length = musicEnd;
        }
    } else if (walk->frames < walk->declaredFrames) {
        m.verdict = IntegrityVerdict::mayBePartial(
            "the frames end before the count the stream's first frame declares");
    }
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (n - walk->length < kMPEGSlack) m.bytesWanted = moreThan(n, toEnd);
    return m;
}

// A metadata block (a cover picture, say) that the end of the bytes may have cut off: no file
// yet, but the bytes to the end of the metadata blocks declared so far are asked for.
std::optional<Measurement> flacCutShort(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (n >= toEnd || !hasPrefix(bytes, 0, "fLaC"sv)) return std::nullopt;
    std::int64_t pos = 4;
    for (int block = 0; pos + 4 <= n; ++block) {
        const std::uint8_t flagAndType = byteAt(bytes, pos);
        const int type = flagAndType & 0x7F;
        if ((block == 0 && type != 0) || type == 127 || block >= 1024) return std::nullopt;
        pos += 4 + (std::int64_t{byteAt(bytes, pos + 1)} << 16 | byteAt(bytes, pos + 2) << 8 | byteAt(bytes, pos + 3));
        if (flagAndType & 0x80) {
            if (pos <= n) return std::nullopt;  // the metadata is whole: the walk failed on something else
            break;
        }
    }
    if (pos > kLongestHeadReadThrough) return std::nullopt;
    Measurement m = found(0, "flac");
    m.bytesWanted = std::min(pos + 4 + kFLACFirstFrameBytes, toEnd);
    return m;
}

std::optional<Measurement> measureFLAC(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto walk = FLACWalker::walk(bytes, 0);
    if (!walk) return flacCutShort(bytes, toEnd);
    const auto n = static_cast<std::int64_t>(bytes.size());
    const std::int64_t window = FLACFraming::maxFrameWindow(walk->streamInfo);
    if (walk->frames == 0) {
        Measurement m = found(walk->length, "flac", IntegrityVerdict::mayBePartial("no audio frame follows the metadata"));
        m.bytesWanted = moreThan(n, toEnd);
        return m;
    }
    if (walk->lastSampleReached) return found(walk->length, "flac");
    Measurement m = found(walk->length, "flac");
    if (n - walk->length <= window) {
        m.verdict = IntegrityVerdict::mayBePartial(kCutShort);
        m.bytesWanted = moreThan(n, toEnd);
    } else if (walk->streamInfo.totalSamples > 0) {
        m.verdict = IntegrityVerdict::mayBePartial("the frames end before the stream's last sample");
    }
    return m;
}

std::string oggExtension(std::span<const std::byte> bytes) {
    if (bytes.size() < 28) return "ogg";
    const std::int64_t payload = 27 + byteAt(bytes, 26);
    if (hasPrefix(bytes, payload, "OpusHead"sv)) return "opus";
    if (hasPrefix(bytes, payload, "\x7f" "FLAC")) return "oga";
    if (hasPrefix(bytes, payload, "Speex"sv)) return "spx";
    return "ogg";
}

std::optional<Measurement> measureOgg(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto walk = OggWalker::walk(bytes, 0);
    if (!walk || !walk->firstPageIsBOS) return std::nullopt;
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (walk->sawEOS) {
        // A further link may end once the bytes hold more of it.
        Measurement m = found(walk->length, oggExtension(bytes));
        if (walk->walkedLength > walk->length && n - walk->walkedLength < kOggSlack) m.bytesWanted = moreThan(n, toEnd);
        return m;
    }
    Measurement m = found(walk->length, oggExtension(bytes),
                          IntegrityVerdict::mayBePartial("the last page does not end the stream"));
    if (n - walk->length < kOggSlack) m.bytesWanted = moreThan(n, toEnd);
    return m;
}

// A length the file declares for itself, clipped to the source.
Measurement declared(std::uint64_t length, std::int64_t toEnd, std::string extension) {
    Measurement m = length > static_cast<std::uint64_t>(toEnd)
                        ? found(toEnd, std::move(extension),
                                IntegrityVerdict::mayBePartial("the source ends before the file does"))
                        : found(static_cast<std::int64_t>(length), std::move(extension));
    m.declaredOnly = true;
    return m;
}

std::optional<Measurement> measurePST(std::span<const std::byte> bytes, std::int64_t toEnd, bool checkContents) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    constexpr auto kHeaderBytes = static_cast<std::int64_t>(kPSTHeaderBytes);
    if (n < kHeaderBytes && n < toEnd) {
        Measurement m;
        m.bytesWanted = std::min(toEnd, kHeaderBytes);
        return m;
    }
    const auto walk = PSTWalker::walk(bytes, 0);
    if (!walk) return std::nullopt;
    Measurement m =
        declared(static_cast<std::uint64_t>(walk->length), toEnd, walk->ost ? "ost" : "pst");
    // Its checksums are checked once the bytes hold it whole; a header that fails its own is
    // not worth reading that far.
    if (!pstHeaderIntact(bytes, walk->unicode)) {
        m.verdict = IntegrityVerdict::failed("its header fails its checksum");
    } else if (!checkContents) {
        m.verdict = IntegrityVerdict::mayBePartial(std::string(kContentsNotChecked));
    } else if (walk->length > n && walk->length <= toEnd) {
        m.bytesWanted = walk->length;
        m.checkFromSource = true;
    } else if (walk->length <= n) {
        if (auto why = pstChecksumMismatch(bytes.first(static_cast<std::size_t>(walk->length)),
                                           walk->unicode))
            m.verdict = IntegrityVerdict::failed(std::move(*why));
    }
    return m;
}

std::optional<Measurement> measureXAR(std::span<const std::byte> bytes, std::int64_t toEnd, bool checkContents) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (const auto walk = XARWalker::walk(bytes, 0)) {
        Measurement m = declared(static_cast<std::uint64_t>(walk->length), toEnd,
                                 walk->installerPackage ? "pkg" : "xar");
        // Its checksums are checked once the bytes hold it whole.
        if (!checkContents) {
            m.verdict = IntegrityVerdict::mayBePartial(std::string(kContentsNotChecked));
        } else if (walk->length > n && walk->length <= toEnd) {
            m.bytesWanted = walk->length;
            m.checkFromSource = true;
        } else if (walk->length <= n) {
            if (auto why = xarChecksumsUncheckable())
                m.verdict = IntegrityVerdict::mayBePartial(std::move(*why));
            else if (auto mismatch = xarChecksumMismatch(
                         bytes.first(static_cast<std::size_t>(walk->length)), *walk))
                m.verdict = IntegrityVerdict::failed(std::move(*mismatch));
            // The bytes end before a closing copy of the TOC's first bytes (as long as its
            // checksum: 64 bytes at most) would: asked for, so that the archive is not taken to
            // end at its heap only for want of them. Its length inflates the TOC again, so it is
            // looked for only then.
            const std::int64_t heapEnd = walk->headerSize + static_cast<std::int64_t>(walk->tocCompressedLength) +
                                         static_cast<std::int64_t>(walk->heapEnd);
            if (walk->length == heapEnd && n - heapEnd < 64) {
                const std::int64_t copy = XARWalker::closingCopyLength(bytes, 0);
                if (copy > n - heapEnd && copy <= toEnd - heapEnd) m.bytesWanted = heapEnd + copy;
            }
        }
        return m;
    }
    const auto header = XARFraming::parseHeader(bytes, 0);
    if (!header || header->tocCompressedLength > XARFraming::maxCompressedTOCBytes) return std::nullopt;
    const auto tocEnd = header->headerSize + static_cast<std::int64_t>(header->tocCompressedLength);
    if (tocEnd <= n || tocEnd > toEnd) return std::nullopt;
    Measurement m;
    m.bytesWanted = tocEnd;
    return m;
}

std::optional<Measurement> measureUDIF(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (n < UDIFFraming::trailerSize) {
        if (toEnd < UDIFFraming::trailerSize) return std::nullopt;
        Measurement m;
        m.bytesWanted = UDIFFraming::trailerSize;
        return m;
    }
    const auto trailer = UDIFFraming::parseTrailer(bytes, 0);
    if (!trailer) return std::nullopt;
    const auto length = trailer->expectedFileLength();
    if (!length || *length < static_cast<std::uint64_t>(UDIFFraming::trailerSize) || *length > (std::uint64_t{1} << 62))
        return std::nullopt;
    Measurement m = found(static_cast<std::int64_t>(*length), "dmg");
    m.start = UDIFFraming::trailerSize - m.length;
    m.declaredOnly = true;
    // The data fork's checksum, when it is a CRC-32 (type 2, 32 bits) over a fork inside the image.
    const ByteReader reader(bytes);
    if (reader.peekU32BE(0x50) == 2 && reader.peekU32BE(0x54) == 32 &&
        trailer->dataForkOffset <= *length - UDIFFraming::trailerSize &&
        trailer->dataForkLength <= *length - UDIFFraming::trailerSize - trailer->dataForkOffset)
        m.rangeCRC = Measurement::RangeCRC{static_cast<std::int64_t>(trailer->dataForkOffset),
                                           static_cast<std::int64_t>(trailer->dataForkLength),
                                           reader.peekU32BE(0x58)};
    return m;
}

// The first child of the Segment, from `at` to `end`, whose own first child is a CRC-32
// element that does not match the rest of its data (the children fill the Segment).
std::optional<std::int64_t> crcMismatchAmongChildren(std::span<const std::byte> bytes,
                                                     std::int64_t at, std::int64_t end) {
    constexpr std::uint64_t kCRC32ID = 0xBF;
    const ByteReader reader(bytes);
    while (at < end) {
        const auto child = EBMLFraming::parseElement(bytes, at);
        if (!child || !child->dataSize) break;
        const std::int64_t dataAt = at + child->headerLength,
                           dataEnd = dataAt + static_cast<std::int64_t>(*child->dataSize);
        if (const auto crc = EBMLFraming::parseElement(bytes, dataAt);
            crc && crc->id == kCRC32ID && crc->dataSize == 4u &&
            dataAt + crc->headerLength + 4 <= dataEnd) {
            const std::int64_t rest = dataAt + crc->headerLength + 4;
            if (reader.peekU32LE(rest - 4) != CRC32::compute(bytes, rest, dataEnd)) return at;
        }
        at = dataEnd;
    }
    return std::nullopt;
}

std::optional<Measurement> measureEBML(std::span<const std::byte> bytes, std::int64_t toEnd) {
    const auto header = EBMLFraming::parseElement(bytes, 0);
    if (!header || header->id != EBMLFraming::ebmlHeaderID || !header->dataSize || *header->dataSize > kLongestEBMLHeader)
        return std::nullopt;
    const auto walk = EBMLWalker::walk(bytes, 0);
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (!walk) {
        // The header itself may be what the bytes cut.
        if (static_cast<std::int64_t>(*header->dataSize) + header->headerLength <= n) return std::nullopt;
        Measurement m;
        m.bytesWanted = moreThan(n, toEnd);
        return m;
    }
    const std::string extension = walk->docType == "webm" ? "webm" : "mkv";
    // A Segment whose size covers bytes that are not its elements was cut short and
    // overwritten: the file goes as far as its elements do.
    for (std::int64_t pos = 0; pos < walk->length;) {
        const auto element = EBMLFraming::parseElement(bytes, pos);
        if (!element || !element->dataSize) break;
        const std::int64_t dataAt = pos + element->headerLength;
        const std::int64_t end = dataAt + static_cast<std::int64_t>(*element->dataSize);
        if (element->id == EBMLFraming::segmentID) {
            if (const auto filled = EBMLWalker::filledUntil(bytes, dataAt, end); filled < end)
                return found(filled, extension,
                             IntegrityVerdict::mayBePartial(
                                 "the Segment holds bytes that are not its elements"));
            if (const auto child = crcMismatchAmongChildren(bytes, dataAt, end))
                return found(
                    walk->length, extension,
                    IntegrityVerdict::failed("the CRC-32 of the element at byte " +
                                             std::to_string(*child) + " does not match its data"));
        }
        pos = end;
    }
    Measurement m = found(walk->length, extension);
    if (walk->segments == 0) m.verdict = IntegrityVerdict::mayBePartial("no Segment follows the EBML header");
    // A Segment of unknown size ends where its children end; a child the bytes cut short may
    // lie within the length of a large Cluster of the end of the bytes.
    constexpr std::int64_t kClusterSlack = std::int64_t{16} << 20;
    if (walk->unknownSizeSegment && n - walk->length < kClusterSlack) m.bytesWanted = moreThan(n, toEnd);
    const auto fits = [](const EBMLFraming::Element& e, std::int64_t at, std::int64_t limit) {
        return e.dataSize && *e.dataSize <= static_cast<std::uint64_t>(std::max<std::int64_t>(0, limit - at - e.headerLength));
    };
    // A further document: the file takes it once the bytes hold its header and whole Segment.
    if (const auto next = EBMLFraming::parseElement(bytes, walk->length);
        next && next->id == EBMLFraming::ebmlHeaderID && walk->segments > 0) {
        if (!fits(*next, walk->length, n)) {
            if (n - walk->length < kEBMLHeaderSlack) m.bytesWanted = moreThan(n, toEnd);
            return m;
        }
        const std::int64_t after = walk->length + next->headerLength + static_cast<std::int64_t>(*next->dataSize);
        if (const auto segment = EBMLFraming::parseElement(bytes, after);
            segment && segment->id == EBMLFraming::segmentID && fits(*segment, after, toEnd))
            m.bytesWanted = after + segment->headerLength + static_cast<std::int64_t>(*segment->dataSize);
        return m;
    }
    // A top-level element that the bytes cut short: the walk goes on once they hold it.
    if (const auto next = EBMLFraming::parseElement(bytes, walk->length)) {
        if ((next->id == EBMLFraming::segmentID || next->id == EBMLFraming::voidID) && next->dataSize &&
            *next->dataSize <= static_cast<std::uint64_t>(toEnd - walk->length - next->headerLength)) {
            m.bytesWanted = walk->length + next->headerLength + static_cast<std::int64_t>(*next->dataSize);
            if (next->id == EBMLFraming::segmentID) {
                m.verdict = IntegrityVerdict::mayBePartial(kCutShort);
                if (walk->segments == 0) {
                    m.length = m.bytesWanted;
                    m.declaredOnly = true;
                }
            }
        }
    } else if (n - walk->length < kEBMLHeaderSlack) {
        m.bytesWanted = moreThan(n, toEnd);
    }
    return m;
}

}  // namespace

std::string_view formatName(CarvedFormat format) { return kNames[static_cast<std::size_t>(format)]; }

std::optional<CarvedFormat> parseFormatName(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i)
        if (kNames[i] == name) return static_cast<CarvedFormat>(i);
    return std::nullopt;
}

std::optional<FormatSet> parseFormatList(std::string_view list) {
    FormatSet set;
    while (!list.empty()) {
        const auto comma = list.find(',');
        const auto name = list.substr(0, comma);
        if (name == "all") {
            set.set();
        } else if (const auto format = parseFormatName(name)) {
            set.set(static_cast<std::size_t>(*format));
        } else {
            return std::nullopt;
        }
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    if (set.none()) return std::nullopt;
    return set;
}

std::optional<CarvedFormat> markAt(std::span<const std::byte> bytes, std::int64_t at, const FormatSet& formats) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || n - at < 4) return std::nullopt;
    auto wanted = [&](CarvedFormat f) -> std::optional<CarvedFormat> {
        return contains(formats, f) ? std::optional(f) : std::nullopt;
    };
    switch (byteAt(bytes, at)) {
        case 'R':
            if (hasPrefix(bytes, at, "Rar!\x1a\x07\x00"sv)) return wanted(CarvedFormat::rar4);
            if (hasPrefix(bytes, at, "Rar!\x1a\x07\x01\x00"sv)) return wanted(CarvedFormat::rar5);
            return std::nullopt;
        case 0x1F:
            return hasPrefix(bytes, at, "\x1f\x8b\x08"sv) ? wanted(CarvedFormat::deflate) : std::nullopt;
        case 'P':
            return hasPrefix(bytes, at, "PK\x03\x04"sv) ? wanted(CarvedFormat::deflate) : std::nullopt;
        case 'I':
            return hasPrefix(bytes, at, "ID3"sv) ? wanted(CarvedFormat::mpeg) : std::nullopt;
        case 0xFF:
            return (byteAt(bytes, at + 1) & 0xE0) == 0xE0 ? wanted(CarvedFormat::mpeg) : std::nullopt;
        case 'f':
            return hasPrefix(bytes, at, "fLaC"sv) ? wanted(CarvedFormat::flac) : std::nullopt;
        case 'O':
            // Only a page that begins a stream begins a file.
            return hasPrefix(bytes, at, "OggS"sv) && n - at > 5 && byteAt(bytes, at + 4) == 0 &&
                           (byteAt(bytes, at + 5) & 0x02)
                       ? wanted(CarvedFormat::ogg)
                       : std::nullopt;
        case '!':
            return hasPrefix(bytes, at, "!BDN"sv) ? wanted(CarvedFormat::pst) : std::nullopt;
        case 'k':
            return hasPrefix(bytes, at, "koly"sv) ? wanted(CarvedFormat::udif) : std::nullopt;
        case 0x1A:
            return hasPrefix(bytes, at, "\x1a\x45\xdf\xa3"sv) ? wanted(CarvedFormat::ebml) : std::nullopt;
        case 'x':
            return hasPrefix(bytes, at, "xar!"sv) ? wanted(CarvedFormat::xar) : std::nullopt;
        default:
            return std::nullopt;
    }
}

IntegrityVerdict checkContents(CarvedFormat format, std::span<const std::byte> head, std::uint64_t length,
                               const FileBytes& read) {
    std::optional<std::string> mismatch;
    if (format == CarvedFormat::pst) {
        const auto walk = PSTWalker::walk(head, 0);
        if (!walk) return IntegrityVerdict::failed("its header no longer reads");
        std::vector<std::byte> buffer;  // one page or block at a time
        mismatch = pstChecksumMismatch(length, [&](std::uint64_t at, std::size_t size) {
            buffer.clear();
            if (at < length) read(at, std::min<std::uint64_t>(size, length - at), [&](std::span<const std::byte> piece) {
                buffer.insert(buffer.end(), piece.begin(), piece.end());
            });
            return std::span<const std::byte>(buffer);
        }, walk->unicode);
    } else if (format == CarvedFormat::xar) {
        const auto walk = XARWalker::walk(head, 0);
        if (!walk) return IntegrityVerdict::failed("its TOC no longer reads");
        if (auto why = xarChecksumsUncheckable()) return IntegrityVerdict::mayBePartial(std::move(*why));
        mismatch = xarChecksumMismatch(head, length, read, *walk);
    }
    return mismatch ? IntegrityVerdict::failed(std::move(*mismatch)) : IntegrityVerdict::looksIntact();
}

std::uint64_t bytesPastMeasuredEnd(CarvedFormat format, std::span<const std::byte> head, std::uint64_t length,
                                   std::uint64_t toEnd, const FileBytes& read) {
    if (format != CarvedFormat::xar) return 0;
    const auto walk = XARWalker::walk(head, 0);
    const auto copy = static_cast<std::uint64_t>(XARWalker::closingCopyLength(head, 0));
    if (!walk || copy == 0 || length > toEnd || copy > toEnd - length) return 0;
    std::vector<std::byte> tail;
    read(length, copy, [&](std::span<const std::byte> piece) { tail.insert(tail.end(), piece.begin(), piece.end()); });
    const auto tocStart = static_cast<std::size_t>(walk->headerSize);
    return std::ranges::equal(tail, head.subspan(tocStart, static_cast<std::size_t>(copy))) ? copy : 0;
}

std::optional<Measurement> measure(CarvedFormat format, std::span<const std::byte> bytes,
                                   std::int64_t bytesToSourceEnd, bool checkContents) {
    const std::int64_t toEnd = std::max<std::int64_t>(bytesToSourceEnd, static_cast<std::int64_t>(bytes.size()));
    switch (format) {
        case CarvedFormat::rar4: return measureRAR4(bytes, toEnd);
        case CarvedFormat::rar5: return measureRAR5(bytes, toEnd);
        case CarvedFormat::deflate:
            return hasPrefix(bytes, 0, "PK"sv) ? measureZip(bytes, toEnd) : measureGzip(bytes, toEnd);
        case CarvedFormat::mpeg: return measureMPEG(bytes, toEnd);
        case CarvedFormat::flac: return measureFLAC(bytes, toEnd);
        case CarvedFormat::ogg: return measureOgg(bytes, toEnd);
        case CarvedFormat::pst: return measurePST(bytes, toEnd, checkContents);
        case CarvedFormat::udif: return measureUDIF(bytes, toEnd);
        case CarvedFormat::ebml: return measureEBML(bytes, toEnd);
        case CarvedFormat::xar: return measureXAR(bytes, toEnd, checkContents);
    }
    return std::nullopt;
}

}  // namespace quarlin::recovery
