#include "QuarlinCore/io/UTF8.h"

namespace quarlin {

std::string validUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // no overlong forms
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
        }
        // The longest well-formed prefix is replaced by one U+FFFD and scanning resumes
        // after it, as Unicode recommends.
        std::size_t good = length == 0 ? 0 : 1;
        while (good > 0 && good < length && i + good < size) {
            const unsigned char next = bytes[i + good];
            const unsigned char lo = good == 1 ? low : 0x80, hi = good == 1 ? high : 0xBF;
            if (next < lo || next > hi) break;
            ++good;
        }
        if (length != 0 && good == length) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out.append("\xEF\xBF\xBD");
            i += good == 0 ? 1 : good;
        }
    }
    return out;
}

}  // namespace quarlin
