// Measures a RAR 5 archive (or one volume of a set) from where its signature starts.
//
// Rule: the 8-byte signature must stand at the offset; blocks follow from offset + 8. Each
// block must parse and lie wholly inside the bytes; the walk stops at the first that does not,
// and after the end-of-archive block, which is counted. A header whose CRC does not match ends
// the walk before it (it is counted in crcMismatches, which is then 1): nothing is tolerated
// but a header that parses, fits and checks out. After an encryption block the headers are enciphered and cannot be read, so such a
// walk stops right behind it, short of the end. The length is the signature plus every block
// walked, so bytes after the end block (such as a volume's zero padding) are not included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct RAR5Walk {
    std::int64_t length = 0;  // from the offset to the end of the last block walked
    std::int64_t blocks = 0;
    std::int64_t crcMismatches = 0;
    bool encryptedHeaders = false;
    bool endReached = false;
    friend bool operator==(const RAR5Walk&, const RAR5Walk&) = default;
};

struct RAR5Walker {
    // Nothing when the signature is not at `at`.
    static std::optional<RAR5Walk> walk(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
