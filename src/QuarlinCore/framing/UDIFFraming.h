// UDIF disk images: parses the 512-byte "koly" trailer that ends the image, refuses
// implausible section lengths, and derives from the recorded sections how long the whole
// image must be, so a carver that finds the trailer knows where the image began.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct UDIFFraming {
    static constexpr std::int64_t trailerSize = 512;

    struct Trailer {
        std::uint64_t dataForkOffset = 0;
        std::uint64_t dataForkLength = 0;
        std::uint64_t resourceForkOffset = 0;
        std::uint64_t resourceForkLength = 0;
        std::uint64_t xmlOffset = 0;
        std::uint64_t xmlLength = 0;
        std::uint64_t codeSignatureOffset = 0;
        std::uint64_t codeSignatureLength = 0;

        // Largest end among the XML section and every section of non-zero length; absent
        // without an XML section. Sums wrap modulo 2^64, as the trailer's fields are unchecked.
        std::optional<std::uint64_t> lastSectionEnd() const;
        // lastSectionEnd() + trailerSize: the trailer follows the last section.
        std::optional<std::uint64_t> expectedFileLength() const;
        bool operator==(const Trailer&) const = default;
    };

    // `at` is the position of the trailer's first byte (the 'k' of "koly").
    static std::optional<Trailer> parseTrailer(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
