// Measures a raw deflate stream from an offset, for carving out of containers such as zip.
//
// Rule: the stream is inflated (the output thrown away) from the offset; it is found only when
// it is valid and ends inside the bytes. A truncated or corrupt stream is not found at all,
// since without its end there is no length to report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct DeflateWalk {
    std::int64_t length = 0;  // compressed bytes, exactly up to the final block's end
    std::uint64_t outputLength = 0;
    std::uint32_t crc32 = 0;  // of the inflated bytes
    friend bool operator==(const DeflateWalk&, const DeflateWalk&) = default;
};

struct DeflateWalker {
    static std::optional<DeflateWalk> walk(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
