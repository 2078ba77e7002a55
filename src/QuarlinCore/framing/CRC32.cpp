#include "QuarlinCore/framing/CRC32.h"

#include <array>

namespace quarlin {
namespace {

// tables[k][b]: the CRC register after byte b followed by k zero bytes, so that sixteen bytes
// are folded into the register a step ("slicing by sixteen"); tables[0] is the classic one.
using Tables = std::array<std::array<std::uint32_t, 256>, 16>;

Tables buildTables() {
    Tables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) r = (r & 1U) ? (r >> 1) ^ 0xEDB88320U : r >> 1;
        tables[0][i] = r;
    }
    for (std::size_t k = 1; k < tables.size(); ++k)
        for (std::uint32_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFFU];
    return tables;
}

// Initialisation of a function-local static is the once-only guard: concurrent first callers
// wait for the one that builds it.
const Tables& tables() {
    static const Tables built = buildTables();
    return built;
}

std::uint32_t load32(const std::byte* p) {
    return std::to_integer<std::uint32_t>(p[0]) | std::to_integer<std::uint32_t>(p[1]) << 8 |
           std::to_integer<std::uint32_t>(p[2]) << 16 | std::to_integer<std::uint32_t>(p[3]) << 24;
}

// One step of sixteen bytes: the register after `p[0..16)` from register `crc`.
inline std::uint32_t step16(const Tables& t, std::uint32_t crc, const std::byte* p) {
    const std::uint32_t a = load32(p) ^ crc, b = load32(p + 4), c = load32(p + 8), d = load32(p + 12);
    return t[15][a & 0xFFU] ^ t[14][(a >> 8) & 0xFFU] ^ t[13][(a >> 16) & 0xFFU] ^ t[12][a >> 24] ^
           t[11][b & 0xFFU] ^ t[10][(b >> 8) & 0xFFU] ^ t[9][(b >> 16) & 0xFFU] ^ t[8][b >> 24] ^
           t[7][c & 0xFFU] ^ t[6][(c >> 8) & 0xFFU] ^ t[5][(c >> 16) & 0xFFU] ^ t[4][c >> 24] ^
           t[3][d & 0xFFU] ^ t[2][(d >> 8) & 0xFFU] ^ t[1][(d >> 16) & 0xFFU] ^ t[0][d >> 24];
}

inline std::uint32_t stepBytes(const Tables& t, std::uint32_t crc, const std::byte* p, std::size_t n) {
    for (; n >= 16; n -= 16, p += 16) crc = step16(t, crc, p);
    for (; n > 0; --n, ++p) crc = t[0][(crc ^ std::to_integer<std::uint32_t>(*p)) & 0xFFU] ^ (crc >> 8);
    return crc;
}

// Registers are polynomials over GF(2) with x^0 in the top bit. a·b mod P: b is multiplied by
// x once per bit of a, from x^0 up, and added in where a has the bit.
std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = 0x80000000U; bit != 0 && a != 0; bit >>= 1) {
        if (a & bit) {
            product ^= b;
            a ^= bit;
        }
        b = (b & 1U) ? (b >> 1) ^ 0xEDB88320U : b >> 1;
    }
    return product;
}

// x^(8·2^i) mod P for i < 64: moving a register past 2^i zero bytes.
using Powers = std::array<std::uint32_t, 64>;
const Powers& zeroBytePowers() {
    static const Powers built = [] {
        Powers powers{};
        powers[0] = 0x00800000U;  // x^8
        for (std::size_t i = 1; i < powers.size(); ++i) powers[i] = multiplyModP(powers[i - 1], powers[i - 1]);
        return powers;
    }();
    return built;
}

// The register moved past `count` zero bytes.
std::uint32_t shiftZeroBytes(std::uint32_t crc, std::uint64_t count) {
    const Powers& powers = zeroBytePowers();
    for (std::size_t i = 0; count != 0; ++i, count >>= 1)
        if (count & 1U) crc = multiplyModP(powers[i], crc);
    return crc;
}

// Inputs from this size on are cut in kLanes lanes whose registers advance side by side, so
// that the processor works on independent chains of table look-ups at once; each register is
// then moved past the lengths of the lanes after it and the registers are added.
constexpr std::size_t kLanesFrom = 4096;
constexpr std::size_t kLanes = 3;

}  // namespace

std::uint32_t CRC32::compute(std::span<const std::byte> bytes, std::int64_t from,
                             std::optional<std::int64_t> to) {
    const auto size = static_cast<std::int64_t>(bytes.size());
    const std::int64_t end = to.value_or(size);
    if (from < 0 || end < from || end > size || end == from) return 0;
    const Tables& t = tables();
    const std::byte* p = bytes.data() + from;
    const auto n = static_cast<std::size_t>(end - from);
    if (n < kLanesFrom) return stepBytes(t, 0xFFFFFFFFU, p, n) ^ 0xFFFFFFFFU;
    const std::size_t lane = n / kLanes / 16 * 16;
    // The first lane starts from the initial register, the others from no register at all.
    std::array<std::uint32_t, kLanes> registers{};
    registers[0] = 0xFFFFFFFFU;
    for (std::size_t done = 0; done < lane; done += 16)
        for (std::size_t i = 0; i < kLanes; ++i) registers[i] = step16(t, registers[i], p + i * lane + done);
    registers[kLanes - 1] = stepBytes(t, registers[kLanes - 1], p + kLanes * lane, n - kLanes * lane);
    std::uint32_t crc = registers[0];
    for (std::size_t i = 1; i < kLanes; ++i)
        crc = shiftZeroBytes(crc, i + 1 < kLanes ? lane : n - (kLanes - 1) * lane) ^ registers[i];
    return crc ^ 0xFFFFFFFFU;
}

}  // namespace quarlin
