// Measures a RAR 1.5 to 4.x archive (or one volume of a set) from where its signature starts.
//
// Rule: the 7-byte signature must stand at the offset, and it is the first block walked. Blocks
// follow back to back; the walk stops at the first block that does not parse or does not lie
// wholly inside the bytes, and after the end-of-archive block (type 0x7B), which is counted.
// The length is every block walked; bytes after the end block are not included.
// File and service blocks of members of 4 GiB or more carry the high 32 bits of their packed
// size in the header (flag 0x0100, field at +32); the walker adds them, so such members are
// stepped over whole instead of ending the walk in the middle of their data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct RAR4Walk {
    std::int64_t length = 0;  // from the offset to the end of the last block walked
    std::int64_t blocks = 0;  // the signature block included
    bool endReached = false;
    friend bool operator==(const RAR4Walk&, const RAR4Walk&) = default;
};

struct RAR4Walker {
    // Nothing when the signature is not at `at`.
    static std::optional<RAR4Walk> walk(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
