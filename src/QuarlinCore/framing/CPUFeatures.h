#pragma once

namespace quarlin {

// The instruction sets the checksum loops may use, asked of the processor once, on first use.
// The compiler's own feature test runs as a constructor in every program that links it and
// asks the processor dozens of questions, each a trap to the hypervisor in a virtual machine,
// at the start of every command, whether it computes a checksum or not.
struct CPUFeatures {
    bool pclmul = false;      // with SSE2 and SSSE3, the 128-bit carry-less folds
    bool wideFolds = false;   // AVX2 and VPCLMULQDQ, with the system saving AVX state

    static const CPUFeatures& ofThisProcessor();
};

}  // namespace quarlin
