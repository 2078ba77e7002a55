#include "QuarlinCore/framing/CRC32.h"

#include <array>

namespace quarlin {
namespace {

using Table = std::array<std::uint32_t, 256>;

Table buildTable() {
    Table table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1U) ? (r >> 1) ^ 0xEDB88320U : r >> 1;
        table[i] = r;
    }
    return table;
}

// Initialisation of a function-local static is the once-only guard: concurrent first callers
// wait for the one that builds it.
const Table& table() {
    static const Table built = buildTable();
    return built;
}

}  // namespace

std::uint32_t CRC32::compute(std::span<const std::byte> bytes, std::int64_t from,
                             std::optional<std::int64_t> to) {
    const auto size = static_cast<std::int64_t>(bytes.size());
    const std::int64_t end = to.value_or(size);
    if (from < 0 || end < from || end > size || end == from) return 0;
    const Table& t = table();
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const std::byte b :
         bytes.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(end - from)))
        crc = t[(crc ^ std::to_integer<std::uint32_t>(b)) & 0xFFU] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFU;
}

}  // namespace quarlin
