#include "QuarlinCore/framing/CPUFeatures.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace quarlin {
namespace {

CPUFeatures ask() {
    CPUFeatures f;
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    f.pclmul = (d & bit_SSE2) != 0 && (c & bit_SSSE3) != 0 && (c & bit_PCLMUL) != 0;
    // AVX registers are usable only when the system saves their state: OSXSAVE, then the SSE
    // and AVX bits of XCR0.
    if (!f.pclmul || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return f;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 0x6U) != 0x6U) return f;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
    f.wideFolds = (b & bit_AVX2) != 0 && (c & bit_VPCLMULQDQ) != 0;
#endif
    return f;
}

}  // namespace

const CPUFeatures& CPUFeatures::ofThisProcessor() {
    static const CPUFeatures found = ask();
    return found;
}

}  // namespace quarlin
