#include "QuarlinCore/framing/CRC32.h"

#include "QuarlinCore/framing/CPUFeatures.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The register (not inverted) carried over n bytes through the tables.
std::uint32_t registerWithTables(std::uint32_t reg, const std::byte* p, std::size_t n) {
    const Tables& t = tables();
    if (n < kLanesFrom) return stepBytes(t, reg, p, n);
    const std::size_t lane = n / kLanes / 16 * 16;
    // The first lane starts from the incoming register, the others from no register at all.
    std::array<std::uint32_t, kLanes> registers{};
    registers[0] = reg;
    for (std::size_t done = 0; done < lane; done += 16)
        for (std::size_t i = 0; i < kLanes; ++i) registers[i] = step16(t, registers[i], p + i * lane + done);
    registers[kLanes - 1] = stepBytes(t, registers[kLanes - 1], p + kLanes * lane, n - kLanes * lane);
    std::uint32_t crc = registers[0];
    for (std::size_t i = 1; i < kLanes; ++i)
        crc = shiftZeroBytes(crc, i + 1 < kLanes ? lane : n - (kLanes - 1) * lane) ^ registers[i];
    return crc;
}

#if defined(__x86_64__)
// Folding with a carry-less multiply. Sixteen bytes loaded little-endian are a polynomial of
// degree below 128 with bit k the coefficient of x^(127-k), the same order in which the tables
// take bits. Moving such a block D bits further on is multiplying it by x^D; modulo P that is
// its low quadword (the high-degree half) times x^(D+63) mod P plus its high quadword times
// x^(D-1) mod P: the exponents absorb where a 64×64 product lands in 128 bits. The constants
// are held with x^m at bit 63-m of a quadword, the register's own order moved up 32 bits.
std::uint32_t xPowerModP(unsigned n) {
    std::uint32_t r = 0x80000000U;  // x^0
    for (unsigned i = 0; i < n; ++i) r = (r & 1U) ? (r >> 1) ^ 0xEDB88320U : r >> 1;
    return r;
}

struct FoldConstants {
    long long by1024[2];  // to move a block 128 bytes on
    long long by128[2];   // to move a block sixteen bytes on
};

FoldConstants makeFoldConstants() {
    const auto held = [](unsigned n) {
        return static_cast<long long>(static_cast<std::uint64_t>(xPowerModP(n)) << 32);
    };
    return FoldConstants{{held(1024 + 63), held(1024 - 1)}, {held(128 + 63), held(128 - 1)}};
}

const FoldConstants& foldConstants() {
    static const FoldConstants built = makeFoldConstants();
    return built;
}

constexpr std::size_t kFoldFrom = 128;

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i block, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x00),
                                       _mm_clmulepi64_si128(block, k, 0x11)),
                         next);
}

__attribute__((target("pclmul,sse2"))) inline __m128i load(const std::byte* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("pclmul,sse2"))) inline std::uint32_t finishFolding(__m128i x0, const std::byte* p,
                                                                          std::size_t n) {
    const FoldConstants& c = foldConstants();
    const __m128i k128 = _mm_set_epi64x(c.by128[1], c.by128[0]);
    for (; n >= 16; n -= 16, p += 16) x0 = fold(x0, k128, load(p));
    alignas(16) std::array<std::byte, 16> last{};
    _mm_store_si128(reinterpret_cast<__m128i*>(last.data()), x0);
    const Tables& t = tables();
    return stepBytes(t, stepBytes(t, 0, last.data(), last.size()), p, n);
}

// The register carried over n >= kFoldFrom bytes: eight blocks in flight, folded into one, and
// the last block and the bytes after it through the tables from a register of zero (the
// incoming register has been added into the first four bytes).
__attribute__((target("pclmul,sse2"))) std::uint32_t registerByFolding(std::uint32_t reg,
                                                                       const std::byte* p,
                                                                       std::size_t n) {
    const FoldConstants& c = foldConstants();
    const __m128i k1024 = _mm_set_epi64x(c.by1024[1], c.by1024[0]);
    const __m128i k128 = _mm_set_epi64x(c.by128[1], c.by128[0]);
    __m128i x[8];
    for (std::size_t i = 0; i < 8; ++i) x[i] = load(p + 16 * i);
    x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(static_cast<int>(reg)));
    p += 128;
    n -= 128;
    for (; n >= 128; n -= 128, p += 128)
        for (std::size_t i = 0; i < 8; ++i) x[i] = fold(x[i], k1024, load(p + 16 * i));
    __m128i x0 = x[0];
    for (std::size_t i = 1; i < 8; ++i) x0 = fold(x0, k128, x[i]);
    return finishFolding(x0, p, n);
}

__attribute__((target("avx2"))) inline __m256i load256(const std::byte* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The same two blocks to a step: four registers of 256 bits, 128 bytes in flight.
__attribute__((target("vpclmulqdq,pclmul,avx2"))) inline __m256i fold256(__m256i block, __m256i k, __m256i next) {
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(block, k, 0x00),
                                             _mm256_clmulepi64_epi128(block, k, 0x11)),
                            next);
}

__attribute__((target("vpclmulqdq,pclmul,avx2"))) std::uint32_t registerByWideFolding(std::uint32_t reg,
                                                                                      const std::byte* p,
                                                                                      std::size_t n) {
    const FoldConstants& c = foldConstants();
    const __m256i k1024 = _mm256_set_epi64x(c.by1024[1], c.by1024[0], c.by1024[1], c.by1024[0]);
    const __m128i k128 = _mm_set_epi64x(c.by128[1], c.by128[0]);
    __m256i y0 = _mm256_xor_si256(load256(p), _mm256_set_epi64x(0, 0, 0, static_cast<long long>(reg)));
    __m256i y1 = load256(p + 32), y2 = load256(p + 64), y3 = load256(p + 96);
    p += 128;
    n -= 128;
    for (; n >= 128; n -= 128, p += 128) {
        y0 = fold256(y0, k1024, load256(p));
        y1 = fold256(y1, k1024, load256(p + 32));
        y2 = fold256(y2, k1024, load256(p + 64));
        y3 = fold256(y3, k1024, load256(p + 96));
    }
    // The blocks in the order of the bytes: each register's low half, then its high half.
    __m128i x0 = fold(_mm256_castsi256_si128(y0), k128, _mm256_extracti128_si256(y0, 1));
    for (const __m256i y : {y1, y2, y3})
        x0 = fold(fold(x0, k128, _mm256_castsi256_si128(y)), k128, _mm256_extracti128_si256(y, 1));
    return finishFolding(x0, p, n);
}

bool canFold() { return CPUFeatures::ofThisProcessor().pclmul; }
bool canFoldWide() { return CPUFeatures::ofThisProcessor().wideFolds; }
#endif

std::uint32_t registerOver(CRC32::Way way, std::uint32_t reg, const std::byte* p, std::size_t n) {
#if defined(__x86_64__)
    if (n >= kFoldFrom && way == CRC32::Way::wideFolding && canFoldWide()) return registerByWideFolding(reg, p, n);
    if (n >= kFoldFrom && way != CRC32::Way::tables && canFold()) return registerByFolding(reg, p, n);
#endif
    return registerWithTables(reg, p, n);
}

}  // namespace

std::uint32_t CRC32::compute(std::span<const std::byte> bytes, std::int64_t from,
                             std::optional<std::int64_t> to) {
    const auto size = static_cast<std::int64_t>(bytes.size());
    const std::int64_t end = to.value_or(size);
    if (from < 0 || end < from || end > size || end == from) return 0;
    return update(0, bytes.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(end - from)));
}

std::uint32_t CRC32::update(std::uint32_t crc, std::span<const std::byte> bytes) {
    return updateBy(Way::wideFolding, crc, bytes);
}

std::uint32_t CRC32::updateBy(Way way, std::uint32_t crc, std::span<const std::byte> bytes) {
    if (bytes.empty()) return crc;
    return registerOver(way, crc ^ 0xFFFFFFFFU, bytes.data(), bytes.size()) ^ 0xFFFFFFFFU;
}

}  // namespace quarlin
