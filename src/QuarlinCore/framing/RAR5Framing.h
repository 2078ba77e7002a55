// Block headers of RAR 5.0 archives, measured for carving: one call parses the header at an
// offset and says how many bytes the whole block (header and data area) occupies and whether
// the header's CRC-32 holds. Nothing is decompressed or decrypted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct RAR5Framing {
    static constexpr std::array<std::byte, 8> signature{
        std::byte{0x52}, std::byte{0x61}, std::byte{0x72}, std::byte{0x21},
        std::byte{0x1A}, std::byte{0x07}, std::byte{0x01}, std::byte{0x00}};

    enum class BlockType : std::uint64_t {
        main = 1,
        file = 2,
        service = 3,
        encryption = 4,
        endOfArchive = 5
    };
    static std::optional<BlockType> blockType(std::uint64_t rawValue);

    struct Block {
        std::uint64_t totalLength;  // CRC field to end of data area; may exceed the bytes held
        std::uint64_t headerType;   // as stored, not limited to the known types
        bool crcMatches;

        bool isEndOfArchive() const { return headerType == 5; }
        bool isEncryption() const { return headerType == 4; }
        friend bool operator==(const Block&, const Block&) = default;
    };

    // The block whose CRC field starts at `at`, or nothing when the header is malformed or
    // does not fit in `bytes`. A header whose CRC does not match is still returned.
    static std::optional<Block> parseBlock(std::span<const std::byte> bytes, std::int64_t at);

    // A header field's variable-length integer at `at`: its value and the position after it;
    // nothing when it is malformed or runs to `limit` or past the bytes.
    struct VInt {
        std::uint64_t value;
        std::int64_t end;
    };
    static std::optional<VInt> readVInt(std::span<const std::byte> bytes, std::int64_t at, std::int64_t limit);
};

}  // namespace quarlin
