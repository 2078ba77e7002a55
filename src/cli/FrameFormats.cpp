// The formats of `quarlin frame`. To add one: write its measuring function below (a walker's
// findings as JSON, "length" included) and append a row to the table at the end.
#include "cli/FrameCommand.h"

#include "QuarlinCore/carving/DeflateWalker.h"
#include "QuarlinCore/carving/MPEGWalker.h"
#include "QuarlinCore/carving/RAR4Walker.h"
#include "QuarlinCore/carving/RAR5Walker.h"

#include <array>

namespace quarlin::cli {
namespace {

using Findings = std::optional<nlohmann::ordered_json>;

Findings measureRAR4(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = RAR4Walker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{{"length", walk->length}, {"blocks", walk->blocks}, {"endReached", walk->endReached}};
}

Findings measureRAR5(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = RAR5Walker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{{"length", walk->length},
                                  {"blocks", walk->blocks},
                                  {"endReached", walk->endReached},
                                  {"crcMismatches", walk->crcMismatches},
                                  {"encryptedHeaders", walk->encryptedHeaders}};
}

Findings measureDeflate(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = DeflateWalker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{
        {"length", walk->length}, {"outputLength", walk->outputLength}, {"crc32", walk->crc32}};
}

Findings measureMPEG(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = MPEGWalker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{
        {"length", walk->length}, {"frames", walk->frames}, {"id3v2", walk->id3v2}, {"id3v1", walk->id3v1}};
}

constexpr std::array kFormats{
    FrameFormat{"rar4", "RAR 4 signature", measureRAR4},
    FrameFormat{"rar5", "RAR 5 signature", measureRAR5},
    FrameFormat{"deflate", "complete raw deflate stream", measureDeflate},
    FrameFormat{"mpeg", "MPEG audio frame", measureMPEG},
};

}  // namespace

std::span<const FrameFormat> frameFormats() { return kFormats; }

}  // namespace quarlin::cli
