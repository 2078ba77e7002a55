// Measures a RAR 1.5 to 4.x archive (or one volume of a set) from where its signature starts.
//
// Rule: the 7-byte signature must stand at the offset, and it is the first block walked. Blocks
// follow back to back; the walk stops at the first block that does not parse or does not lie
// wholly inside the bytes, and after the end-of-archive block (type 0x7B), which is counted.
// The length is every block walked; bytes after the end block are not included.
// File (0x74) and service (0x7A) blocks always carry their packed size after the header, also
// when their flag 0x8000 is clear, and members of 4 GiB or more the high 32 bits of it (flag
// 0x0100, field at +32); the walker adds them, so such members are stepped over whole. A file
// or service header whose 16-bit CRC (the low half of the CRC-32 of the header after the CRC
// field) does not match is not a block of this archive: it ends the walk before it.
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
