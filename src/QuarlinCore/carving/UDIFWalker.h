// Measures a UDIF disk image from its trailer, which ends the image.
//
// Rule: the 512-byte trailer is read where the caller says, by default from the last 512
// bytes. The image's length is the trailer's expected file length, and the image began that
// many bytes before the trailer's end. Not found when the trailer does not parse, or when that
// start would lie before the first byte held (the image cannot have begun outside the bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "QuarlinCore/framing/UDIFFraming.h"

namespace quarlin {

struct UDIFWalk {
    std::int64_t trailerOffset = 0;
    std::int64_t imageOffset = 0;  // trailerOffset + 512 - length
    std::int64_t length = 0;
    UDIFFraming::Trailer trailer;
    friend bool operator==(const UDIFWalk&, const UDIFWalk&) = default;
};

struct UDIFWalker {
    static std::optional<UDIFWalk> walk(std::span<const std::byte> bytes,
                                        std::optional<std::int64_t> trailerAt = {});
};

}  // namespace quarlin
