#include "QuarlinCore/recovery/XARChecksums.h"

#include <openssl/evp.h>

#include <charconv>
#include <memory>
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
    decltype(&EVP_MD_CTX_new) newContext = nullptr;
    decltype(&EVP_MD_CTX_free) freeContext = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) final = nullptr;
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
        library.find(c.newContext, "EVP_MD_CTX_new");
        library.find(c.freeContext, "EVP_MD_CTX_free");
        library.find(c.init, "EVP_DigestInit_ex");
        library.find(c.update, "EVP_DigestUpdate");
        library.find(c.final, "EVP_DigestFinal_ex");
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
    // The digest in `style` of the `length` bytes at `at` of the archive, or nothing for a
    // style not known here or once the budget is spent.
    std::optional<std::string> operator()(const std::string& style, const XARBytes& read, std::uint64_t at,
                                          std::uint64_t length) {
        const Crypto& c = crypto();
        if (!c.error.empty()) return std::nullopt;
        const EVP_MD* md = style == "sha1"     ? c.sha1()
                           : style == "md5"    ? c.md5()
                           : style == "sha256" ? c.sha256()
                           : style == "sha512" ? c.sha512()
                                               : nullptr;
        if (!md || length > budget_) return std::nullopt;
        budget_ -= length;
        const std::unique_ptr<EVP_MD_CTX, decltype(c.freeContext)> context(c.newContext(), c.freeContext);
        bool ok = context && c.init(context.get(), md, nullptr) == 1;
        read(at, length, [&](std::span<const std::byte> piece) {
            ok = ok && c.update(context.get(), piece.data(), piece.size()) == 1;
        });
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned size = 0;
        if (!ok || c.final(context.get(), digest, &size) != 1) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(digest), size);
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
    return xarChecksumMismatch(archive, archive.size(), [archive](std::uint64_t at, std::uint64_t length,
                                                                 const std::function<void(std::span<const std::byte>)>& use) {
        use(archive.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(length)));
    }, walk);
}

std::optional<std::string> xarChecksumMismatch(std::span<const std::byte> head, std::uint64_t archiveLength,
                                               const XARBytes& read, const XARWalk& walk) {
    const auto tocStart = static_cast<std::uint64_t>(walk.headerSize);
    if (tocStart + walk.tocCompressedLength > std::min<std::uint64_t>(head.size(), archiveLength))
        return "its TOC lies past the bytes held";
    const auto compressed = head.subspan(tocStart, walk.tocCompressedLength);
    const auto inflated =
        XARFraming::inflateTOC(compressed, static_cast<std::int64_t>(walk.tocLength));
    if (!inflated) return "its TOC does not inflate";
    const std::string_view toc(reinterpret_cast<const char*>(inflated->data()), inflated->size());
    const std::uint64_t heapStart = tocStart + walk.tocCompressedLength, heapLength = archiveLength - heapStart;
    const auto inHeap = [&](std::uint64_t offset, std::uint64_t length) {
        return offset <= heapLength && length <= heapLength - offset;
    };
    Digester digest(4 * archiveLength + (1 << 20));
    const XARBytes fromTOC = [&](std::uint64_t at, std::uint64_t length,
                                 const std::function<void(std::span<const std::byte>)>& use) {
        use(compressed.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(length)));
    };

    // The TOC checksum: the first <checksum> before any file.
    const auto tocChecksum = toc.find("<checksum style=\"");
    if (tocChecksum != std::string_view::npos && tocChecksum < toc.find("<file")) {
        const std::string_view element =
            toc.substr(tocChecksum, toc.find("</checksum>", tocChecksum) - tocChecksum);
        const auto style = element.substr(17, element.find('"', 17) - 17);
        const auto offset = number(childText(element, "offset")),
                   size = number(childText(element, "size"));
        if (offset && size) {
            if (!inHeap(*offset, *size)) return "its TOC checksum does not match";
            const auto computed = digest(std::string(style), fromTOC, 0, compressed.size());
            if (computed) {
                std::string stored;
                if (*size == computed->size())
                    read(heapStart + *offset, *size, [&](std::span<const std::byte> piece) {
                        stored.append(reinterpret_cast<const char*>(piece.data()), piece.size());
                    });
                if (stored != *computed) return "its TOC checksum does not match";
            }
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
            if (!inHeap(*offset, *length)) return "the TOC names bytes past the archive's end";
            const auto computed = digest(checksum->first, read, heapStart + *offset, *length);
            if (computed && !sameHex(checksum->second, hex(*computed)))
                return "the bytes at heap offset " + std::to_string(*offset) + " fail their " +
                       checksum->first + " checksum";
        }
    }
    return std::nullopt;
}

}  // namespace quarlin::recovery
