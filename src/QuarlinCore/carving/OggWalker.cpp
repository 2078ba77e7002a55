#include "QuarlinCore/carving/OggWalker.h"

#include "QuarlinCore/framing/OggFraming.h"

namespace quarlin {

std::optional<OggWalk> OggWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    if (at < 0 || at > static_cast<std::int64_t>(bytes.size())) return std::nullopt;
    const auto result = OggPageFraming::walkPages(bytes.subspan(static_cast<std::size_t>(at)));
    if (result.pageCount == 0) return std::nullopt;
    return OggWalk{result.bytesWalked, result.pageCount, result.firstPageIsBOS, result.sawEOS};
}

}  // namespace quarlin
