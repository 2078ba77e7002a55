#include "QuarlinCore/carving/PSTWalker.h"

#include <limits>

#include "QuarlinCore/framing/PSTFraming.h"

namespace quarlin {

std::optional<PSTWalk> PSTWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto header = OutlookPSTFraming::parseHeader(bytes, at);
    if (!header) return std::nullopt;
    if (header->declaredFileSize >
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    return PSTWalk{static_cast<std::int64_t>(header->declaredFileSize), header->isUnicode,
                   header->isOST};
}

}  // namespace quarlin
