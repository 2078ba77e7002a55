#include "QuarlinCore/recovery/XARChecksums.h"

#include <openssl/evp.h>

#include <charconv>
#include <cstring>
#include <string_view>

#include "QuarlinCore/framing/XARFraming.h"
#include "QuarlinCore/io/LoadedLibrary.h"

namespace quarlin::recovery {
namespace {

// The text between `<name>` and `</name>` first found in `element`, or nothing.
std::optional<std::string_view> childText(std::string_view element, std::string_view name) {
    const std::string open = "<" + std::string(name) + ">", close = "</" + std::string(name) + ">";
    const auto begin = element.find(open);
    if (begin == std::string_view::npos) return std::nullopt;
    const auto end = element.find(close, begin + open.size());
    if (end == std::string_view::npos) return std::nullopt;
    return element.substr(begin + open.size(), end - begin - open.size());
}

std::optional<std::uint64_t> number(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

// The digest style and the text of the first `<name style="...">text</name>` in `element`.
std::optional<std::pair<std::string, std::string_view>> styled(std::string_view element,
                                                               std::string_view name) {
    const std::string open = "<" + std::string(name) + " style=\"",
                      close = "</" + std::string(name) + ">";
    const auto begin = element.find(open);
    if (begin == std::string_view::npos) return std::nullopt;
    const auto styleEnd = element.find("\">", begin + open.size());
    const auto end = element.find(close, begin);
    if (styleEnd == std::string_view::npos || end == std::string_view::npos || styleEnd > end)
        return std::nullopt;
    return std::pair{
        std::string(element.substr(begin + open.size(), styleEnd - begin - open.size())),
        element.substr(styleEnd + 2, end - styleEnd - 2)};
}

// libcrypto is loaded the first time an archive's checksums are checked, not when the program
// starts: loading it (relocating its 4.7 MB, and its probe of the processor) is half a
// millisecond that every `quarlin` command, a disk listing or a ping included, would pay.
struct Crypto {
    decltype(&EVP_Digest) digest = nullptr;
    decltype(&EVP_md5) md5 = nullptr;
    decltype(&EVP_sha1) sha1 = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&EVP_sha512) sha512 = nullptr;
    std::string error;  // why it could not be loaded
};

const Crypto& crypto() {
    static const Crypto loaded = [] {
        Crypto c;
        LoadedLibrary library(QUARLIN_LIBCRYPTO);
        library.find(c.digest, "EVP_Digest");
        library.find(c.md5, "EVP_md5");
        library.find(c.sha1, "EVP_sha1");
        library.find(c.sha256, "EVP_sha256");
        library.find(c.sha512, "EVP_sha512");
        c.error = library.error();
        return c;
    }();
    return loaded;
}

class Digester {
  public:
    explicit Digester(std::uint64_t budget) : budget_(budget) {}
    // The digest of `bytes` in `style`, or nothing for a style not known here or once the
    // budget is spent.
    std::optional<std::string> operator()(const std::string& style,
                                          std::span<const std::byte> bytes) {
        const Crypto& c = crypto();
        if (!c.error.empty()) return std::nullopt;
        const EVP_MD* md = style == "sha1"     ? c.sha1()
                           : style == "md5"    ? c.md5()
                           : style == "sha256" ? c.sha256()
                           : style == "sha512" ? c.sha512()
                                               : nullptr;
        if (!md || bytes.size() > budget_) return std::nullopt;
        budget_ -= bytes.size();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        if (c.digest(bytes.data(), bytes.size(), digest, &length, md, nullptr) != 1)
            return std::nullopt;
        return std::string(reinterpret_cast<const char*>(digest), length);
    }

  private:
    std::uint64_t budget_;
};

std::string hex(const std::string& raw) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char c : raw) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

bool sameHex(std::string_view written, const std::string& expected) {
    if (written.size() != expected.size()) return false;
    for (std::size_t i = 0; i < written.size(); ++i)
        if ((written[i] | 0x20) != expected[i]) return false;  // hex digits in either case
    return true;
}

}  // namespace

std::optional<std::string> xarChecksumsUncheckable() {
    const Crypto& c = crypto();
    if (c.error.empty()) return std::nullopt;
    return "its checksums could not be checked: " + c.error;
}

std::optional<std::string> xarChecksumMismatch(std::span<const std::byte> archive,
                                               const XARWalk& walk) {
    const auto tocStart = static_cast<std::size_t>(walk.headerSize);
    const auto compressed = archive.subspan(tocStart, walk.tocCompressedLength);
    const auto inflated =
        XARFraming::inflateTOC(compressed, static_cast<std::int64_t>(walk.tocLength));
    if (!inflated) return "its TOC does not inflate";
    const std::string_view toc(reinterpret_cast<const char*>(inflated->data()), inflated->size());
    const auto heap = archive.subspan(tocStart + walk.tocCompressedLength);
    const auto inHeap = [&](std::uint64_t offset,
                            std::uint64_t length) -> std::optional<std::span<const std::byte>> {
        if (offset > heap.size() || length > heap.size() - offset) return std::nullopt;
        return heap.subspan(offset, length);
    };
    Digester digest(4 * archive.size() + (1 << 20));

    // The TOC checksum: the first <checksum> before any file.
    const auto tocChecksum = toc.find("<checksum style=\"");
    if (tocChecksum != std::string_view::npos && tocChecksum < toc.find("<file")) {
        const std::string_view element =
            toc.substr(tocChecksum, toc.find("</checksum>", tocChecksum) - tocChecksum);
        const auto style = element.substr(17, element.find('"', 17) - 17);
        const auto offset = number(childText(element, "offset")),
                   size = number(childText(element, "size"));
        if (offset && size) {
            const auto stored = inHeap(*offset, *size);
            const auto computed = digest(std::string(style), compressed);
            if (!stored ||
                (computed && (computed->size() != stored->size() ||
                              std::memcmp(computed->data(), stored->data(), stored->size()) != 0)))
                return "its TOC checksum does not match";
        }
    }
    // The archived checksum of every stored piece.
    for (const std::string_view name : {"data", "ea"}) {
        // "<data>", "<ea>" or "<ea id=...>"
        const std::string open = "<" + std::string(name), close = "</" + std::string(name) + ">";
        const auto findOpen = [&](std::size_t from) {
            for (auto at = toc.find(open, from); at != std::string_view::npos;
                 at = toc.find(open, at + 1)) {
                const auto after = at + open.size();
                if (after < toc.size() && (toc[after] == '>' || toc[after] == ' ')) return at;
            }
            return std::string_view::npos;
        };
        for (auto begin = findOpen(0); begin != std::string_view::npos;) {
            const auto end = toc.find(close, begin);
            if (end == std::string_view::npos) break;
            const auto next = findOpen(end);  // each element once, so the search stays linear
            const std::string_view element = toc.substr(begin, end - begin);
            const auto offset = number(childText(element, "offset")),
                       length = number(childText(element, "length"));
            const auto checksum = styled(element, "archived-checksum");
            begin = next;
            if (!offset || !length || !checksum) continue;
            const auto stored = inHeap(*offset, *length);
            if (!stored) return "the TOC names bytes past the archive's end";
            const auto computed = digest(checksum->first, *stored);
            if (computed && !sameHex(checksum->second, hex(*computed)))
                return "the bytes at heap offset " + std::to_string(*offset) + " fail their " +
                       checksum->first + " checksum";
        }
    }
    return std::nullopt;
}

}  // namespace quarlin::recovery
