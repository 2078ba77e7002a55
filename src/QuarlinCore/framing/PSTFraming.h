// Outlook personal (PST) and offline (OST) folders files: recognises the fixed header in its
// ANSI or Unicode layout and reads the file size it declares. The header CRC is not checked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct OutlookPSTFraming {
    static constexpr std::array<std::byte, 4> magic{std::byte{0x21}, std::byte{0x42},
                                                    std::byte{0x44}, std::byte{0x4E}};  // "!BDN"
    static constexpr std::int64_t headerParseLength = 192;

    struct Header {
        bool isUnicode = false;
        bool isOST = false;
        std::uint64_t declaredFileSize = 0;  // may lie far beyond the bytes at hand
        bool operator==(const Header&) const = default;
    };

    static std::optional<Header> parseHeader(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
