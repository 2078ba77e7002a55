// Test support for FLAC: where the reference decoder finds each frame, and a rewrite of a real
// fixed-block-size stream into the variable strategy (the reference encoder writes only the
// fixed one).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ToolFiles.h"

namespace quarlin::testsupport {

struct AnalyzedFrame {
    std::int64_t offset = 0;
    std::int64_t blockSize = 0;
};

// Frame offsets and block sizes as `flac --analyze` reports them.
std::vector<AnalyzedFrame> analyze(const ScratchDir& dir, const std::string& flacName);

// Each frame of `fixed` rewritten with the variable strategy: coded number = first sample,
// header and footer CRCs renewed.
std::vector<std::byte> toVariableBlockSize(std::span<const std::byte> fixed,
                                           const std::vector<AnalyzedFrame>& frames);

}  // namespace quarlin::testsupport
