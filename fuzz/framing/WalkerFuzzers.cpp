// One fuzz target per walker, chosen at compile time: the input follows the format's signature
// (so the fuzzer starts inside a candidate), and the walk must stay inside the bytes.
#include <vector>

#include "FuzzInput.h"
#include "QuarlinCore/carving/DeflateWalker.h"
#include "QuarlinCore/carving/MPEGWalker.h"
#include "QuarlinCore/carving/RAR4Walker.h"
#include "QuarlinCore/carving/RAR5Walker.h"
#include "QuarlinCore/framing/RAR4Framing.h"
#include "QuarlinCore/framing/RAR5Framing.h"

namespace {

using namespace quarlin;

template <typename Signature>
std::vector<std::byte> behind(const Signature& signature, std::span<const std::byte> rest) {
    std::vector<std::byte> out(signature.begin(), signature.end());
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const auto at = static_cast<std::int64_t>(input.take(1) % 8);
    const auto rest = input.rest();
#if defined(QUARLIN_FUZZ_RAR5_WALKER)
    const auto bytes = behind(RAR5Framing::signature, rest);
    const auto walk = RAR5Walker::walk(bytes, 0);
    fuzz::require(walk && walk->length >= 8 &&
                  walk->length <= static_cast<std::int64_t>(bytes.size()));
    // A header that fails its CRC ends the walk: at most one, and never with the end.
    fuzz::require(walk->crcMismatches <= 1 && !(walk->crcMismatches && walk->endReached) &&
                  !(walk->endReached && walk->encryptedHeaders));
    (void)at;
#elif defined(QUARLIN_FUZZ_RAR4_WALKER)
    const auto bytes = behind(RAR4Framing::signature, rest);
    const auto walk = RAR4Walker::walk(bytes, 0);
    fuzz::require(walk && walk->blocks >= 1 &&
                  walk->length <= static_cast<std::int64_t>(bytes.size()));
    (void)at;
#elif defined(QUARLIN_FUZZ_DEFLATE_WALKER)
    if (const auto walk = DeflateWalker::walk(rest, at))
        fuzz::require(walk->length > 0 &&
                      walk->length <= static_cast<std::int64_t>(rest.size()) - at);
#elif defined(QUARLIN_FUZZ_MPEG_WALKER)
    if (const auto walk = MPEGWalker::walk(rest, at)) {
        fuzz::require(walk->frames >= 1 &&
                      walk->length <= static_cast<std::int64_t>(rest.size()) - at);
    }
#endif
    return 0;
}
