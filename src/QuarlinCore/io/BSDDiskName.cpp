#include "QuarlinCore/io/BSDDiskName.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <vector>

namespace quarlin {

namespace {

// The text split into user-perceived characters (extended grapheme clusters).
std::vector<icu::UnicodeString> characters(std::string_view text) {
    const icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::vector<icu::UnicodeString> result;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !breaks) {
        // Without break data every code point stands alone.
        for (int32_t i = 0; i < unicode.length();) {
            const int32_t next = unicode.moveIndex32(i, 1);
            result.emplace_back(unicode, i, next - i);
            i = next;
        }
        return result;
    }
    breaks->setText(unicode);
    int32_t start = breaks->first();
    for (int32_t end = breaks->next(); end != icu::BreakIterator::DONE; start = end, end = breaks->next()) {
        result.emplace_back(unicode, start, end - start);
    }
    return result;
}

bool hasPrefix(const std::vector<icu::UnicodeString>& chars, std::size_t at, std::string_view prefix) {
    if (chars.size() - at < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const icu::UnicodeString& c = chars[at + i];
        if (c.length() != 1 || c.charAt(0) != static_cast<char16_t>(prefix[i])) return false;
    }
    return true;
}

bool isNumber(const icu::UnicodeString& character) {
    return u_getIntPropertyValue(character.char32At(0), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
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
    for (; at < chars.size() && isNumber(chars[at]); ++at) chars[at].toUTF8String(run);
    if (run.empty()) return std::nullopt;
    return "disk" + run;
}

}  // namespace quarlin
