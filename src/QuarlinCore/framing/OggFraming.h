// Ogg page framing: measures the clean run of intact pages at the start of a buffer (every
// page CRC checked) and builds single pages. The walk ends at the first byte that is not the
// start of a complete page with a matching CRC; it never skips garbage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quarlin {

struct OggPageFraming {
    static constexpr std::array<std::byte, 4> capturePattern{std::byte{0x4F}, std::byte{0x67},
                                                             std::byte{0x67}, std::byte{0x53}};
    static constexpr std::int64_t headerLength = 27;
    // 254 lacing values of 255 and a last one of 254: the most one page can carry.
    static constexpr std::int64_t maxPayloadLength = 65024;

    struct PageHeader {
        std::uint8_t headerType = 0;
        std::int64_t segmentCount = 0;
        std::uint32_t declaredCRC = 0;
        bool operator==(const PageHeader&) const = default;
    };

    struct WalkResult {
        std::int64_t bytesWalked = 0;
        std::int64_t pageCount = 0;
        bool firstPageIsBOS = false;
        bool sawEOS = false;
        bool operator==(const WalkResult&) const = default;
    };

    static WalkResult walkPages(std::span<const std::byte> data);

    // A payload longer than maxPayloadLength cannot be laced into one page and is refused.
    static std::optional<std::vector<std::byte>> makePage(std::uint8_t headerType,
                                                          std::uint64_t granule,
                                                          std::uint32_t serial,
                                                          std::uint32_t sequence,
                                                          std::span<const std::byte> payload);

    static std::optional<PageHeader> parsePageHeader(std::span<const std::byte> data,
                                                     std::int64_t at);
    // The payload need not be present; only the header and lacing table must be.
    static std::optional<std::int64_t> pageLength(std::span<const std::byte> data, std::int64_t at);
    // Bit-by-bit CRC (polynomial 0x04C11DB7, not reflected, initial 0, no final XOR).
    static std::uint32_t pageCRC(std::span<const std::byte> data);
    // `page` must be exactly one page; its CRC field is zeroed in a copy before checking.
    static bool hasValidCRC(std::span<const std::byte> page);
};

}  // namespace quarlin
