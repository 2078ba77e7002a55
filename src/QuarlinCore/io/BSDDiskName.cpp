#include "QuarlinCore/io/BSDDiskName.h"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/uvernum.h>

#include <algorithm>
#include <vector>

#include "QuarlinCore/io/LoadedLibrary.h"

namespace quarlin {

namespace {

// Names are nearly always ASCII, where every byte is a character of its own (but for CR LF,
// which neither a prefix nor a digit contains) and only 0-9 are numbers. The Unicode library
// is loaded on the first name that is not ASCII, so that a process that never meets one does
// not pay for loading it at start. Its entry points carry the version in their names.
#define QUARLIN_NAME_OF(symbol) QUARLIN_TEXT_OF(symbol)
#define QUARLIN_TEXT_OF(symbol) #symbol

struct Unicode {
    decltype(&u_strFromUTF8WithSub) fromUTF8 = nullptr;
    decltype(&ubrk_open) open = nullptr;
    decltype(&ubrk_next) next = nullptr;
    decltype(&ubrk_close) close = nullptr;
    decltype(&u_getIntPropertyValue) property = nullptr;
    decltype(&u_strToUTF8) toUTF8 = nullptr;

    static const Unicode* load() {
        static const Unicode loaded = [] {
            Unicode u;
            LoadedLibrary library("libicuuc.so." QUARLIN_NAME_OF(U_ICU_VERSION_MAJOR_NUM));
            library.find(u.fromUTF8, QUARLIN_NAME_OF(u_strFromUTF8WithSub));
            library.find(u.open, QUARLIN_NAME_OF(ubrk_open));
            library.find(u.next, QUARLIN_NAME_OF(ubrk_next));
            library.find(u.close, QUARLIN_NAME_OF(ubrk_close));
            library.find(u.property, QUARLIN_NAME_OF(u_getIntPropertyValue));
            library.find(u.toUTF8, QUARLIN_NAME_OF(u_strToUTF8));
            u.complete = library.error().empty();
            return u;
        }();
        return loaded.complete ? &loaded : nullptr;
    }
    bool complete = false;
};

// A user-perceived character (an extended grapheme cluster): its text in UTF-16 and whether
// its first code point has a numeric type.
struct Character {
    std::u16string text;
    bool number = false;
};

std::u16string utf16(const Unicode& u, std::string_view text) {
    std::u16string out(text.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    // Bytes that are not UTF-8 become U+FFFD, one for each maximal ill-formed subpart.
    u.fromUTF8(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &length, text.data(),
               static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    out.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
    return out;
}

std::vector<Character> characters(std::string_view text) {
    std::vector<Character> result;
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        for (const char c : text) result.push_back({std::u16string(1, static_cast<char16_t>(c)), c >= '0' && c <= '9'});
        return result;
    }
    const Unicode* u = Unicode::load();
    if (!u) return result;  // without the library no name outside ASCII is a disk name
    const std::u16string unicode = utf16(*u, text);
    const auto* chars = reinterpret_cast<const UChar*>(unicode.data());
    const auto codePoint = [&](std::size_t at) {
        char32_t c = unicode[at];
        if (c >= 0xD800 && c < 0xDC00 && at + 1 < unicode.size() && unicode[at + 1] >= 0xDC00 && unicode[at + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (unicode[at + 1] - 0xDC00);
        return static_cast<UChar32>(c);
    };
    const auto add = [&](std::size_t start, std::size_t end) {
        result.push_back({unicode.substr(start, end - start), u->property(codePoint(start), UCHAR_NUMERIC_TYPE) != U_NT_NONE});
    };
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* breaks = u->open(UBRK_CHARACTER, "", chars, static_cast<int32_t>(unicode.size()), &status);
    if (U_FAILURE(status) || !breaks) {
        // Without break data every code point stands alone.
        for (std::size_t i = 0; i < unicode.size();) {
            const std::size_t next = i + (codePoint(i) > 0xFFFF ? 2 : 1);
            add(i, next);
            i = next;
        }
        return result;
    }
    std::size_t start = 0;
    for (int32_t end = u->next(breaks); end != UBRK_DONE; end = u->next(breaks)) {
        add(start, static_cast<std::size_t>(end));
        start = static_cast<std::size_t>(end);
    }
    u->close(breaks);
    return result;
}

bool hasPrefix(const std::vector<Character>& chars, std::size_t at, std::string_view prefix) {
    if (chars.size() - at < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (chars[at + i].text != std::u16string(1, static_cast<char16_t>(prefix[i]))) return false;
    return true;
}

void appendUTF8(std::string& out, const std::u16string& text) {
    if (text.size() == 1 && text[0] < 0x80) {
        out.push_back(static_cast<char>(text[0]));
        return;
    }
    const Unicode* u = Unicode::load();
    std::string bytes(text.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u->toUTF8(bytes.data(), static_cast<int32_t>(bytes.size()), &length, reinterpret_cast<const UChar*>(text.data()),
              static_cast<int32_t>(text.size()), &status);
    if (U_SUCCESS(status)) out.append(bytes, 0, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<std::string> BSDDiskName::wholeDisk(std::string_view name) {
    const auto chars = characters(name);
    std::size_t at = 0;
    if (hasPrefix(chars, at, "/dev/")) at += 5;
    if (hasPrefix(chars, at, "rdisk")) at += 1;
    if (!hasPrefix(chars, at, "disk")) return std::nullopt;
    at += 4;
    std::string run;
    for (; at < chars.size() && chars[at].number; ++at) appendUTF8(run, chars[at].text);
    if (run.empty()) return std::nullopt;
    return "disk" + run;
}

}  // namespace quarlin
