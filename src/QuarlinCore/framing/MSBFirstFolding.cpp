#include "QuarlinCore/framing/MSBFirstFolding.h"

#include "QuarlinCore/framing/CPUFeatures.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quarlin {
namespace {

// x^n modulo x^width + polynomial.
long long xPowerMod(std::uint32_t polynomial, unsigned width, unsigned n) {
    const std::uint64_t top = std::uint64_t{1} << width;
    std::uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & top) r ^= top | polynomial;
    }
    return static_cast<long long>(r);
}

#if defined(__x86_64__)
// Sixteen bytes as a polynomial of degree below 128, the first byte's highest bit the highest.
__attribute__((target("pclmul,ssse3"))) inline __m128i reversed(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}

// The same, each byte's bits mirrored first when `Mirrored`: its lowest bit taken as the highest.
template <bool Mirrored>
__attribute__((target("pclmul,ssse3"))) inline __m128i load(const std::byte* p) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if constexpr (!Mirrored) {
        return reversed(x);
    } else {
        const __m128i nibble = _mm_set1_epi8(0x0F);
        const __m128i high = _mm_setr_epi8(0x00, 0x08, 0x04, 0x0C, 0x02, 0x0A, 0x06, 0x0E, 0x01, 0x09, 0x05, 0x0D,
                                           0x03, 0x0B, 0x07, 0x0F);
        const __m128i low = _mm_slli_epi16(high, 4);  // a nibble's mirror, moved to the other half
        const __m128i mirrored = _mm_or_si128(_mm_shuffle_epi8(low, _mm_and_si128(x, nibble)),
                                              _mm_shuffle_epi8(high, _mm_and_si128(_mm_srli_epi16(x, 4), nibble)));
        return reversed(mirrored);
    }
}

// x·x^n + next, below degree 64 + width: k holds x^(n+64) and x^n modulo the polynomial.
__attribute__((target("pclmul,ssse3"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

// Four blocks in flight, each congruent to its share of the bytes so far, then folded into one.
template <bool Mirrored>
__attribute__((target("pclmul,ssse3"))) void foldRange(unsigned width, const long long* by64Bytes,
                                                       const long long* by16Bytes, std::uint32_t reg,
                                                       const std::byte* p, std::size_t n,
                                                       MSBFirstFolder::Folded& out) {
    const __m128i k64 = _mm_set_epi64x(by64Bytes[0], by64Bytes[1]);
    const __m128i k16 = _mm_set_epi64x(by16Bytes[0], by16Bytes[1]);
    __m128i x[4];
    for (std::size_t i = 0; i < 4; ++i) x[i] = load<Mirrored>(p + 16 * i);
    x[0] = _mm_xor_si128(x[0], _mm_set_epi64x(static_cast<long long>(std::uint64_t{reg} << (64 - width)), 0));
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64)
        for (std::size_t i = 0; i < 4; ++i) x[i] = fold(x[i], k64, load<Mirrored>(p + 16 * i));
    __m128i x0 = x[0];
    for (std::size_t i = 1; i < 4; ++i) x0 = fold(x0, k16, x[i]);
    for (; n >= 16; n -= 16, p += 16) x0 = fold(x0, k16, load<Mirrored>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.block.data()), reversed(x0));
    out.rest = p;
    out.restLength = n;
}
#endif

}  // namespace

MSBFirstFolder::MSBFirstFolder(std::uint32_t polynomial, unsigned width, bool mirrored)
    : width_(width),
      mirrored_(mirrored),
      by64Bytes_{xPowerMod(polynomial, width, 512 + 64), xPowerMod(polynomial, width, 512)},
      by16Bytes_{xPowerMod(polynomial, width, 128 + 64), xPowerMod(polynomial, width, 128)} {}

bool MSBFirstFolder::available() {
#if defined(__x86_64__)
    return CPUFeatures::ofThisProcessor().pclmul;
#else
    return false;
#endif
}

MSBFirstFolder::Folded MSBFirstFolder::fold(std::uint32_t reg, const std::byte* p, std::size_t n) const {
    Folded out;
#if defined(__x86_64__)
    (mirrored_ ? foldRange<true> : foldRange<false>)(width_, by64Bytes_, by16Bytes_, reg, p, n, out);
#else
    (void)reg;
    out.rest = p;
    out.restLength = n;
#endif
    return out;
}

}  // namespace quarlin
