#include "QuarlinCore/carving/OggWalker.h"

#include <algorithm>
#include <vector>

#include "QuarlinCore/framing/ByteReader.h"
#include "QuarlinCore/framing/OggFraming.h"

namespace quarlin {
namespace {

constexpr std::uint8_t kBOS = 0x02;
constexpr std::uint8_t kEOS = 0x04;
// Logical streams multiplexed in one link that are told apart; a link with more is walked as
// pages, but only its first ones can end it.
constexpr std::size_t kMaxOpenStreams = 64;

}  // namespace

std::optional<OggWalk> OggWalker::walk(std::span<const std::byte> bytes, std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at > n) return std::nullopt;
    const ByteReader reader(bytes);
    OggWalk walk;
    OggWalk linkEnd;  // the walk as it stood where every stream opened so far had ended
    std::vector<std::uint32_t> open;
    bool overflowed = false;
    std::int64_t pos = at;
    while (pos < n) {
        const auto header = OggPageFraming::parsePageHeader(bytes, pos);
        if (!header) break;
        const auto length = OggPageFraming::pageLength(bytes, pos);
        if (!length || *length > n - pos) break;
        if (!OggPageFraming::hasValidCRC(bytes.subspan(static_cast<std::size_t>(pos), static_cast<std::size_t>(*length))))
            break;
        const std::uint32_t serial = reader.peekU32LE(pos + 14);
        if (walk.pages == 0) walk.firstPageIsBOS = (header->headerType & kBOS) != 0;
        if (header->headerType & kBOS) {
            if (open.size() < kMaxOpenStreams) open.push_back(serial);
            else overflowed = true;
        }
        pos += *length;
        ++walk.pages;
        if (header->headerType & kEOS) {
            walk.sawEOS = true;
            std::erase(open, serial);
            if (open.empty() && !overflowed) {
                walk.length = pos - at;
                linkEnd = walk;
            }
        }
    }
    if (walk.pages == 0) return std::nullopt;
    walk.walkedLength = pos - at;
    walk.length = walk.walkedLength;
    // A further chained link that does not reach its end is the start of another file.
    if (linkEnd.pages > 0 && linkEnd.length < walk.length) {
        linkEnd.walkedLength = walk.walkedLength;
        return linkEnd;
    }
    return walk;
}

}  // namespace quarlin
