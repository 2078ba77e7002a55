// The standard reflected CRC-32 (polynomial 0xEDB88320, as in zip, PNG and RAR) over a range
// of bytes, sixteen bytes a step (two runs side by side on long inputs) through tables that are
// built on first use, once per process.
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
};

}  // namespace quarlin
