// The formats of `quarlin frame`. To add one: write its measuring function below (a walker's
// findings as JSON, "length" included) and append a row to the table at the end.
#include <array>

#include "QuarlinCore/carving/DeflateWalker.h"
#include "QuarlinCore/carving/EBMLWalker.h"
#include "QuarlinCore/carving/FLACWalker.h"
#include "QuarlinCore/carving/MPEGWalker.h"
#include "QuarlinCore/carving/OggWalker.h"
#include "QuarlinCore/carving/PSTWalker.h"
#include "QuarlinCore/carving/RAR4Walker.h"
#include "QuarlinCore/carving/RAR5Walker.h"
#include "QuarlinCore/carving/UDIFWalker.h"
#include "QuarlinCore/carving/XARWalker.h"
#include "cli/FrameCommand.h"

namespace quarlin::cli {
namespace {

using Findings = std::optional<nlohmann::ordered_json>;

Findings measureRAR4(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = RAR4Walker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{
        {"length", walk->length}, {"blocks", walk->blocks}, {"endReached", walk->endReached}};
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
    return nlohmann::ordered_json{{"length", walk->length},
                                  {"frames", walk->frames},
                                  {"id3v2", walk->id3v2},
                                  {"id3v1", walk->id3v1}};
}

Findings measureFLAC(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = FLACWalker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{{"length", walk->length},
                                  {"frames", walk->frames},
                                  {"sampleRate", walk->streamInfo.sampleRate},
                                  {"channels", walk->streamInfo.channels},
                                  {"bitsPerSample", walk->streamInfo.bitsPerSample},
                                  {"totalSamples", walk->streamInfo.totalSamples}};
}

Findings measureOgg(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = OggWalker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{{"length", walk->length},
                                  {"pages", walk->pages},
                                  {"firstPageIsBOS", walk->firstPageIsBOS},
                                  {"sawEOS", walk->sawEOS}};
}

Findings measurePST(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = PSTWalker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{
        {"length", walk->length}, {"unicode", walk->unicode}, {"ost", walk->ost}};
}

// The offset given is the trailer's; offset 0 (the default) stands for the last 512 bytes,
// since no image ending with a trailer at 0 can begin inside the file. "offset" in the
// findings replaces the one given: it is where the image began.
Findings measureUDIF(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk =
        UDIFWalker::walk(bytes, at == 0 ? std::nullopt : std::optional<std::int64_t>(at));
    if (!walk) return std::nullopt;
    const auto& t = walk->trailer;
    return nlohmann::ordered_json{{"length", walk->length},
                                  {"trailerOffset", walk->trailerOffset},
                                  {"offset", walk->imageOffset},
                                  {"dataForkOffset", t.dataForkOffset},
                                  {"dataForkLength", t.dataForkLength},
                                  {"resourceForkOffset", t.resourceForkOffset},
                                  {"resourceForkLength", t.resourceForkLength},
                                  {"xmlOffset", t.xmlOffset},
                                  {"xmlLength", t.xmlLength},
                                  {"codeSignatureOffset", t.codeSignatureOffset},
                                  {"codeSignatureLength", t.codeSignatureLength}};
}

Findings measureEBML(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = EBMLWalker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{{"length", walk->length}, {"docType", walk->docType}};
}

Findings measureXAR(std::span<const std::byte> bytes, std::int64_t at) {
    const auto walk = XARWalker::walk(bytes, at);
    if (!walk) return std::nullopt;
    return nlohmann::ordered_json{{"length", walk->length},
                                  {"tocCompressedLength", walk->tocCompressedLength},
                                  {"tocLength", walk->tocLength},
                                  {"heapEnd", walk->heapEnd},
                                  {"installerPackage", walk->installerPackage}};
}

constexpr std::array kFormats{
    FrameFormat{"rar4", "RAR 4 signature", measureRAR4},
    FrameFormat{"rar5", "RAR 5 signature", measureRAR5},
    FrameFormat{"deflate", "complete raw deflate stream", measureDeflate},
    FrameFormat{"mpeg", "MPEG audio frame", measureMPEG},
    FrameFormat{"flac", "FLAC stream", measureFLAC},
    FrameFormat{"ogg", "intact Ogg page", measureOgg},
    FrameFormat{"pst", "PST or OST header", measurePST},
    FrameFormat{"udif", "UDIF trailer ending an image inside the file", measureUDIF},
    FrameFormat{"ebml", "EBML header", measureEBML},
    FrameFormat{"xar", "XAR header with an intact table of contents", measureXAR},
};

}  // namespace

std::span<const FrameFormat> frameFormats() {
    return kFormats;
}

}  // namespace quarlin::cli
