// What a scan looks for: the ten formats, the marks by which a file of each is recognised at
// a position, and the measurement of the file found there with its walker.
//
// Measurements are pure functions of the bytes they are given. A walk that runs into the end
// of those bytes says how many it wants (`bytesWanted`); the scan then measures again with
// more, or, when the source has no more to give, keeps what the walk found.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "QuarlinCore/model/IntegrityVerdict.h"

namespace quarlin::recovery {

enum class CarvedFormat : std::uint8_t { rar4, rar5, deflate, mpeg, flac, ogg, pst, udif, ebml, xar };
inline constexpr std::size_t kCarvedFormatCount = 10;
using FormatSet = std::bitset<kCarvedFormatCount>;

std::string_view formatName(CarvedFormat format);
std::optional<CarvedFormat> parseFormatName(std::string_view name);
// "rar4,flac" and the like; "all" for every format. Nothing when a name is unknown.
std::optional<FormatSet> parseFormatList(std::string_view list);
inline bool contains(const FormatSet& set, CarvedFormat format) { return set.test(static_cast<std::size_t>(format)); }

// The format whose marks stand at `at` (a signature, or the trailer of a UDIF image), or
// nothing. Cheap: it looks at a few bytes only; the measurement decides.
std::optional<CarvedFormat> markAt(std::span<const std::byte> bytes, std::int64_t at, const FormatSet& formats);

// The bytes a mark can begin with: markAt finds nothing at any other. A scan that looks at
// every byte passes over the others without asking.
inline constexpr std::array<bool, 256> kMarkFirstBytes = [] {
    std::array<bool, 256> table{};
    for (const char c : std::string_view("R\x1f" "PI\xff" "fO!k\x1a" "x")) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

struct Measurement {
    // Relative to the candidate position; negative only for UDIF, whose trailer ends the image.
    std::int64_t start = 0;
    std::int64_t length = 0;
    std::string extension;  // "rar", "gz", "zip", "mp3", "flac", "opus", "pst", "dmg", "webm", ...
    IntegrityVerdict verdict = IntegrityVerdict::looksIntact();
    // Above 0 when the walk stopped at the end of the bytes it was given: this many bytes from
    // the candidate would let it go on. Measuring again with them may change everything above.
    std::int64_t bytesWanted = 0;
    // The length is what a header declares, not what a walk went through.
    bool declaredOnly = false;
    // A CRC-32 the file declares over a range of itself that the bytes given do not hold
    // (`from` counts from the file's start): the scan reads that range and checks it.
    struct RangeCRC {
        std::int64_t from = 0;
        std::int64_t length = 0;
        std::uint32_t expected = 0;
    };
    std::optional<RangeCRC> rangeCRC;
    // The checksums lie all over a file longer than the bytes given (a PST, a XAR): when a
    // walk cannot hold it, the scan checks them reading it from the source (checkContents).
    bool checkFromSource = false;
};

// The fewest bytes the scan gives a first measurement of a candidate (fewer only where the
// source ends). From this many on, bytes that cut a file short are never measured as if the
// file ended at the cut: the measurement asks for the bytes the cut took.
inline constexpr std::int64_t kFirstWalkBytes = 4096;

// `bytes` begins at the candidate; `bytesToSourceEnd` says how far the source itself goes
// from there (a file may declare a length beyond the bytes given, but not beyond the source).
// Nothing when no file of the format starts there. Without `checkContents`, a file that is
// measured by the length its header declares (PST, XAR) is not read whole to check the
// checksums inside it, and is `mayBePartial` with kContentsNotChecked.
std::optional<Measurement> measure(CarvedFormat format, std::span<const std::byte> bytes,
                                   std::int64_t bytesToSourceEnd, bool checkContents = true);

// Reads [at, at + length) of a file, handing it on piece by piece; may throw.
using FileBytes = std::function<void(std::uint64_t at, std::uint64_t length,
                                     const std::function<void(std::span<const std::byte>)>& use)>;
// The verdict on the checksums inside the file at the start of `head`, `length` bytes long,
// the rest of it read through `read`: for the measurements that ask for it (checkFromSource).
IntegrityVerdict checkContents(CarvedFormat format, std::span<const std::byte> head, std::uint64_t length,
                               const FileBytes& read);
// How many bytes such a file has past the `length` a walk that did not hold its end measured,
// with `toEnd` bytes on the source from its start: a XAR's closing copy of the start of its
// TOC, which the walk counts only when it sees it.
std::uint64_t bytesPastMeasuredEnd(CarvedFormat format, std::span<const std::byte> head, std::uint64_t length,
                                   std::uint64_t toEnd, const FileBytes& read);

inline constexpr std::string_view kContentsNotChecked =
    "its checksums were not checked: the candidates before it used up what the scan checks "
    "(four times the bytes it has passed, and 256 MiB)";

}  // namespace quarlin::recovery
