// Measures an Outlook PST or OST file from its first byte.
//
// Rule: the header must parse at the offset; the length is the file size it declares, which
// may reach past the bytes at hand (the carver reads that much from the disk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct PSTWalk {
    std::int64_t length = 0;
    bool unicode = false;
    bool ost = false;
    friend bool operator==(const PSTWalk&, const PSTWalk&) = default;
};

struct PSTWalker {
    // Nothing without a header at `at`, or when the declared size does not fit in 63 bits.
    static std::optional<PSTWalk> walk(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
