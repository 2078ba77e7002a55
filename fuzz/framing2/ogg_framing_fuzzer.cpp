// The page walk over arbitrary bytes, and pages built from them walked back.
#include <cstdlib>

#include "QuarlinCore/framing/OggFraming.h"

using quarlin::OggPageFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = std::as_bytes(std::span(data, size));
    const auto walk = OggPageFraming::walkPages(bytes);
    if (walk.bytesWalked < 0 || walk.bytesWalked > static_cast<std::int64_t>(size)) std::abort();
    if ((walk.pageCount == 0) != (walk.bytesWalked == 0)) std::abort();
    if (walk.bytesWalked > 0 &&
        OggPageFraming::walkPages(bytes.first(static_cast<std::size_t>(walk.bytesWalked))) != walk)
        std::abort();

    const auto page = OggPageFraming::makePage(size > 0 ? data[0] : 0, size, 7, 1, bytes);
    if (page.has_value() != (static_cast<std::int64_t>(size) <= OggPageFraming::maxPayloadLength))
        std::abort();
    if (page &&
        (!OggPageFraming::hasValidCRC(*page) ||
         OggPageFraming::walkPages(*page).bytesWalked != static_cast<std::int64_t>(page->size())))
        std::abort();
    return 0;
}
