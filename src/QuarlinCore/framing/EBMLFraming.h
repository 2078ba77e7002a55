// EBML, the element syntax of Matroska and WebM: parses one element header (ID and data
// size) and reads the document type out of an EBML header element's payload, so a carver can
// recognise a file start and step from top-level element to top-level element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quarlin {

struct EBMLFraming {
    // IDs keep their length-marker bits, exactly as the bytes appear in the file.
    static constexpr std::uint64_t ebmlHeaderID = 0x1A45DFA3;
    static constexpr std::uint64_t segmentID = 0x18538067;
    static constexpr std::uint64_t voidID = 0xEC;
    static constexpr std::uint64_t docTypeID = 0x4282;

    struct Element {
        std::uint64_t id = 0;
        std::int64_t headerLength = 0;          // ID and size field together
        std::optional<std::uint64_t> dataSize;  // absent: the reserved unknown size
        bool operator==(const Element&) const = default;
    };

    // Only the header must lie in `bytes`; the element's data may run past its end.
    static std::optional<Element> parseElement(std::span<const std::byte> bytes, std::int64_t at);
    // Looks at most at the first 64 children; a malformed child ends the search.
    static std::optional<std::string> docType(std::span<const std::byte> headerPayload);
};

}  // namespace quarlin
