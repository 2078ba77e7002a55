// Block headers of RAR 1.5 to 4.x archives, measured for carving: the block type and how many
// bytes the block occupies (header plus added data). The header CRC is not checked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct RAR4Framing {
    // Parsed as a block itself: type 0x72, header size 7.
    static constexpr std::array<std::byte, 7> signature{
        std::byte{0x52}, std::byte{0x61}, std::byte{0x72}, std::byte{0x21},
        std::byte{0x1A}, std::byte{0x07}, std::byte{0x00}};

    struct Block {
        std::uint64_t totalLength;  // may exceed the bytes held
        std::uint8_t type;          // 0x72 to 0x7B

        bool isEndOfArchive() const { return type == 0x7B; }
        friend bool operator==(const Block&, const Block&) = default;
    };

    static std::optional<Block> parseBlock(std::span<const std::byte> bytes, std::int64_t at);
};

}  // namespace quarlin
