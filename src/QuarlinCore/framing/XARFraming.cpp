#include "QuarlinCore/framing/XARFraming.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {
namespace {

constexpr std::int64_t kFixedHeaderLength = 28;
constexpr int kMaxDigits = 19;
constexpr std::size_t kMaxNesting = 1024;

std::int64_t size(std::span<const std::byte> bytes) {
    return static_cast<std::int64_t>(bytes.size());
}

std::span<const std::byte> asBytes(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

// First position p with from <= p <= size - needle.size() where the needle matches in full.
std::optional<std::int64_t> find(std::span<const std::byte> haystack, std::string_view needle,
                                 std::int64_t from) {
    const auto n = size(haystack);
    const auto m = static_cast<std::int64_t>(needle.size());
    if (from < 0 || m > n || from > n - m) return std::nullopt;
    const auto pattern = asBytes(needle);
    const auto tail = haystack.subspan(static_cast<std::size_t>(from));
    const auto hit = std::ranges::search(tail, pattern);
    if (hit.empty()) return std::nullopt;
    return from + static_cast<std::int64_t>(hit.begin() - tail.begin());
}

bool startsWith(std::span<const std::byte> haystack, std::int64_t at, std::string_view needle) {
    const auto m = static_cast<std::int64_t>(needle.size());
    return at >= 0 && at <= size(haystack) && m <= size(haystack) - at &&
           std::ranges::equal(haystack.subspan(static_cast<std::size_t>(at), needle.size()),
                              asBytes(needle));
}

char charAt(std::span<const std::byte> toc, std::int64_t at) {
    return static_cast<char>(ByteReader(toc).peekU8(at));
}

struct Decimal {
    std::uint64_t value = 0;
    std::int64_t end = 0;  // just past the digits read
};

// Up to 19 ASCII digits from `at`, no sign and no blanks; further digits stay unread.
std::optional<Decimal> readDecimal(std::span<const std::byte> toc, std::int64_t at) {
    Decimal number{0, at};
    while (number.end < size(toc) && number.end - at < kMaxDigits) {
        const char c = charAt(toc, number.end);
        if (c < '0' || c > '9') break;
        number.value = number.value * 10 + (c - '0');
        ++number.end;
    }
    if (number.end == at) return std::nullopt;
    return number;
}

// The number directly after `tag` when the tag starts at or after `from` and before `bound`.
// Only matches starting before `bound` are looked for, so a TOC of many offsets without
// lengths is scanned once, not once per offset.
std::optional<std::uint64_t> numberAfterTag(std::span<const std::byte> toc, std::string_view tag,
                                            std::int64_t from, std::int64_t bound) {
    const auto tagLength = static_cast<std::int64_t>(tag.size());
    const std::int64_t searchEnd =
        bound > size(toc) - tagLength ? size(toc) : bound + tagLength - 1;
    if (from < 0 || from > searchEnd) return std::nullopt;
    const auto hit = find(toc.first(static_cast<std::size_t>(searchEnd)), tag, from);
    if (!hit || *hit >= bound) return std::nullopt;
    const auto number = readDecimal(toc, *hit + static_cast<std::int64_t>(tag.size()));
    if (!number) return std::nullopt;
    return number->value;
}

}  // namespace

std::optional<XARFraming::Header> XARFraming::parseHeader(std::span<const std::byte> bytes,
                                                          std::int64_t at) {
    const auto n = size(bytes);
    if (at < 0 || at > n || n - at < kFixedHeaderLength) return std::nullopt;
    const ByteReader reader(bytes, 0);
    if (!std::ranges::equal(bytes.subspan(static_cast<std::size_t>(at), 4), magic))
        return std::nullopt;
    Header header;
    header.headerSize = reader.peekU16BE(at + 4);
    const std::uint16_t version = reader.peekU16BE(at + 6);
    header.tocCompressedLength =
        (std::uint64_t{reader.peekU32BE(at + 8)} << 32) | reader.peekU32BE(at + 12);
    header.tocUncompressedLength =
        (std::uint64_t{reader.peekU32BE(at + 16)} << 32) | reader.peekU32BE(at + 20);
    if (header.headerSize < 28 || header.headerSize > 512 || version != 1) return std::nullopt;
    if (header.tocCompressedLength < 1 || header.tocCompressedLength > maxCompressedTOCBytes)
        return std::nullopt;
    if (header.tocUncompressedLength < 1 || header.tocUncompressedLength > maxUncompressedTOCBytes)
        return std::nullopt;
    return header;
}

std::optional<std::vector<std::byte>> XARFraming::inflateTOC(std::span<const std::byte> compressed,
                                                             std::int64_t expectedSize) {
    if (expectedSize < 1 || expectedSize > static_cast<std::int64_t>(maxUncompressedTOCBytes) ||
        compressed.empty())
        return std::nullopt;
    // Deflate expands no stream by more than about 1032 to 1: a declared size the compressed
    // bytes cannot reach is refused before its buffer is allocated.
    constexpr std::uint64_t kMaxExpansion = 1032;
    constexpr std::uint64_t kStreamOverhead = 64;
    if (static_cast<std::uint64_t>(expectedSize) > compressed.size() * kMaxExpansion + kStreamOverhead)
        return std::nullopt;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return std::nullopt;
    std::vector<std::byte> out(static_cast<std::size_t>(expectedSize));
    // One call takes at most UINT_MAX input bytes; a real TOC is far shorter, and the bytes
    // after the stream's end are never needed.
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(compressed.size(), UINT_MAX));
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = ::inflate(&stream, Z_FINISH);
    const auto produced = static_cast<std::int64_t>(stream.total_out);
    inflateEnd(&stream);
    if (status != Z_STREAM_END || produced != expectedSize) return std::nullopt;
    return out;
}

std::optional<std::uint64_t> XARFraming::heapEnd(std::span<const std::byte> toc) {
    if (toc.empty()) return std::nullopt;
    constexpr std::string_view offsetTag = "<offset>";
    std::uint64_t maximum = 0;
    std::int64_t cursor = 0;
    while (const auto tag = find(toc, offsetTag, cursor)) {
        cursor = *tag + static_cast<std::int64_t>(offsetTag.size());
        const auto offset = readDecimal(toc, cursor);
        if (!offset) continue;
        cursor = offset->end;
        const std::int64_t bound = find(toc, offsetTag, cursor).value_or(size(toc));
        std::uint64_t end = offset->value;  // sums wrap modulo 2^64
        if (const auto length = numberAfterTag(toc, "<length>", cursor, bound))
            end += *length;
        else if (const auto extent = numberAfterTag(toc, "<size>", cursor, bound))
            end += *extent;
        maximum = std::max(maximum, end);
    }
    return maximum;
}

namespace {

struct OpenElement {
    std::string_view name;
    std::optional<std::uint64_t> offset, length, extent;
};

// Offset plus the element's length, else its size; absent when the sum leaves 64 bits.
std::optional<std::uint64_t> endOf(const OpenElement& element) {
    const std::uint64_t offset = *element.offset;
    const std::uint64_t span = element.length.value_or(element.extent.value_or(0));
    if (span > UINT64_MAX - offset) return std::nullopt;
    return offset + span;
}

std::string_view textAt(std::span<const std::byte> toc, std::int64_t from, std::int64_t to) {
    const auto bytes = ByteReader(toc).peekBytes(from, to - from);
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Position of the '>' that ends the tag opened at `from`, skipping quoted attribute values.
std::optional<std::int64_t> tagEnd(std::span<const std::byte> toc, std::int64_t from) {
    char quote = 0;
    for (std::int64_t i = from; i < size(toc); ++i) {
        const char c = charAt(toc, i);
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> XARFraming::heapEndOfElements(std::span<const std::byte> toc) {
    if (toc.empty()) return std::nullopt;
    std::vector<OpenElement> open;
    // For each element name, the depths at which it is open: a closing tag finds its match
    // at once instead of searching the stack, so hostile nesting stays linear.
    std::unordered_map<std::string_view, std::vector<std::size_t>> depths;
    std::uint64_t maximum = 0;
    bool overflow = false;
    const auto close = [&](const OpenElement& element) {
        if (!element.offset) return;
        if (const auto end = endOf(element))
            maximum = std::max(maximum, *end);
        else
            overflow = true;
    };

    std::int64_t pos = 0;
    while (const auto lt = find(toc, "<", pos)) {
        const std::int64_t start = *lt + 1;
        // The text of comments and CDATA sections is not markup; a declaration such as
        // <!DOCTYPE ...> is skipped like a tag below.
        const bool comment = startsWith(toc, *lt, "<!--");
        if (comment || startsWith(toc, *lt, "<![CDATA[")) {
            const auto stop = find(toc, comment ? "-->" : "]]>", start);
            if (!stop) break;
            pos = *stop + 3;
            continue;
        }
        const auto gt = tagEnd(toc, start);
        if (!gt) break;
        pos = *gt + 1;
        if (start == *gt) continue;
        const char first = charAt(toc, start);
        if (first == '?' || first == '!') continue;

        const bool closing = first == '/';
        const bool selfClosing = charAt(toc, *gt - 1) == '/';
        std::int64_t nameEnd = start + (closing ? 1 : 0);
        while (nameEnd < *gt) {
            const char c = charAt(toc, nameEnd);
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/') break;
            ++nameEnd;
        }
        const std::string_view name = textAt(toc, start + (closing ? 1 : 0), nameEnd);

        if (closing) {
            // Close up to the matching element; a stray closing tag closes nothing.
            const auto match = depths.find(name);
            if (match == depths.end() || match->second.empty()) continue;
            const std::size_t keep = match->second.back();
            while (open.size() > keep) {
                close(open.back());
                depths[open.back().name].pop_back();
                open.pop_back();
            }
            continue;
        }
        if (!open.empty() && !selfClosing &&
            (name == "offset" || name == "length" || name == "size")) {
            auto& parent = open.back();
            auto& field = name == "offset"   ? parent.offset
                          : name == "length" ? parent.length
                                             : parent.extent;
            if (!field)
                if (const auto number = readDecimal(toc, pos)) field = number->value;
        }
        if (selfClosing) continue;
        if (open.size() >= kMaxNesting) return std::nullopt;
        depths[name].push_back(open.size());
        open.push_back(OpenElement{name, {}, {}, {}});
    }
    // A TOC cut short still credits the elements it opened.
    while (!open.empty()) {
        close(open.back());
        open.pop_back();
    }
    if (overflow) return std::nullopt;
    return maximum;
}

bool XARFraming::looksLikeInstallerPackage(std::span<const std::byte> toc) {
    return find(toc, "PackageInfo", 0) || find(toc, "Distribution", 0) || find(toc, ".pkg", 0);
}

std::optional<std::vector<std::byte>> XARFraming::deflate(std::span<const std::byte> bytes) {
    if (bytes.size() > ULONG_MAX / 2) return std::nullopt;
    uLongf produced = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<std::byte> out(produced);
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &produced,
                  reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
                  1) != Z_OK)
        return std::nullopt;
    out.resize(produced);
    return out;
}

}  // namespace quarlin
