// The standard reflected CRC-32 (polynomial 0xEDB88320, as in zip, gzip, PNG and RAR) over a
// range of bytes. On processors with a carry-less multiply the bytes are folded sixty-four at a
// time (128 bytes at a time with 256-bit registers); elsewhere they go through sixteen tables (slicing by sixteen, two or three runs side by
// side on long inputs). Tables and folding constants are built on first use, once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarlin {

struct CRC32 {
    // CRC of bytes[from, to); an absent `to` means the end. An empty range is 0. A range that
    // does not lie inside the bytes (negative, reversed or past the end) is a caller error:
    // it reads nothing and yields 0.
    static std::uint32_t compute(std::span<const std::byte> bytes, std::int64_t from = 0,
                                 std::optional<std::int64_t> to = std::nullopt);

    // The CRC of what came before (0 for nothing) carried over `bytes`: update(update(0, a), b)
    // is the CRC of a followed by b. For checking a stream as it goes by.
    static std::uint32_t update(std::uint32_t crc, std::span<const std::byte> bytes);

    // The ways `update` can go, widest last; it takes the widest the processor has.
    enum class Way { tables, folding, wideFolding };

    // `update` by one way, or by the next narrower one where the processor lacks it; for
    // checking the ways against each other.
    static std::uint32_t updateBy(Way way, std::uint32_t crc, std::span<const std::byte> bytes);
};

}  // namespace quarlin
