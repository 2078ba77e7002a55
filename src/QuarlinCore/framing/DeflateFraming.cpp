#include "QuarlinCore/framing/DeflateFraming.h"

#include <algorithm>
#include <limits>

#include "QuarlinCore/framing/CRC32.h"

namespace quarlin {
namespace {

// The version the stream structure was laid out for; zlib checks it against its own.
constexpr const char* kZlibVersion = "1.2.12";
constexpr int kRawWindowBits = -15;
constexpr std::size_t kMaxPiece = std::numeric_limits<uInt>::max();

Bytef* input(const std::byte* p) {
    return reinterpret_cast<Bytef*>(const_cast<std::byte*>(p));
}

}  // namespace

std::unique_ptr<DeflateFraming::RawInflateScanner> DeflateFraming::RawInflateScanner::make(
    std::int64_t scratchSize) {
    const std::int64_t size = std::max(scratchSize, minimumScratchSize);
    if (static_cast<std::uint64_t>(size) > kMaxPiece) return nullptr;
    std::unique_ptr<RawInflateScanner> scanner(
        new RawInflateScanner(static_cast<std::size_t>(size)));
    if (inflateInit2_(&scanner->stream_, kRawWindowBits, kZlibVersion,
                      static_cast<int>(sizeof(z_stream))) != Z_OK)
        return nullptr;
    return scanner;
}

DeflateFraming::RawInflateScanner::RawInflateScanner(std::size_t scratchSize)
    : scratch_(new Bytef[scratchSize]), scratchSize_(scratchSize) {}

DeflateFraming::RawInflateScanner::~RawInflateScanner() {
    // inflateEnd refuses a stream that was never initialised (its state pointer is null).
    inflateEnd(&stream_);
}

DeflateFraming::ScanState DeflateFraming::RawInflateScanner::consume(
    std::span<const std::byte> chunk) {
    while (state_ == ScanState::needsMoreInput && !chunk.empty()) {
        const std::size_t piece = std::min(chunk.size(), kMaxPiece);
        consumePiece(chunk.first(piece));
        chunk = chunk.subspan(piece);
    }
    return state_;
}

void DeflateFraming::RawInflateScanner::consumePiece(std::span<const std::byte> piece) {
    const auto n = static_cast<uInt>(piece.size());
    stream_.next_in = input(piece.data());
    stream_.avail_in = n;
    const auto scratchSize = static_cast<uInt>(scratchSize_);
    int ret = Z_OK;
    for (;;) {
        stream_.next_out = scratch_.get();
        stream_.avail_out = scratchSize;
        ret = inflate(&stream_, Z_NO_FLUSH);
        const uInt produced = scratchSize - stream_.avail_out;
        if (produced > 0) {
            crc_ = CRC32::update(crc_, std::as_bytes(std::span(scratch_.get(), produced)));
            totalOut_ += produced;
        }
        if (ret == Z_OK || (ret == Z_BUF_ERROR && produced > 0)) {
            // All input taken is not the same as all output given: a full scratch buffer may
            // leave inflated bytes pending inside zlib, so only a partly filled one means that
            // zlib is waiting for input.
            if (stream_.avail_in == 0 && stream_.avail_out > 0) {
                totalIn_ += n;
                return;
            }
            continue;
        }
        if (ret == Z_BUF_ERROR) {  // no progress possible without more input
            totalIn_ += n - stream_.avail_in;
            return;
        }
        break;
    }
    totalIn_ += n - stream_.avail_in;
    state_ = ret == Z_STREAM_END ? ScanState::finished : ScanState::corrupt;
}

std::optional<DeflateFraming::Scan> DeflateFraming::scanRawStream(std::span<const std::byte> bytes,
                                                                  std::int64_t at) {
    const auto n = static_cast<std::int64_t>(bytes.size());
    if (at < 0 || at >= n) return std::nullopt;
    const auto scanner = RawInflateScanner::make(scanScratchSize);
    if (!scanner) return std::nullopt;
    for (std::int64_t pos = at;;) {
        const bool last = scanChunkSize >= n - pos;
        const std::int64_t end = last ? n : pos + scanChunkSize;
        if (scanner->consume(bytes.subspan(static_cast<std::size_t>(pos),
                                           static_cast<std::size_t>(end - pos))) !=
            ScanState::needsMoreInput)
            break;
        if (last) return std::nullopt;  // the stream goes on past the bytes held
        pos = end;
    }
    if (scanner->state() != ScanState::finished) return std::nullopt;
    return Scan{static_cast<std::int64_t>(scanner->totalIn()), scanner->totalOut(),
                scanner->outputCRC32()};
}

std::uint32_t DeflateFraming::crc32Checksum(std::span<const std::byte> bytes) {
    return CRC32::update(0, bytes);
}

std::optional<std::vector<std::byte>> DeflateFraming::deflateRaw(std::span<const std::byte> bytes) {
    if (bytes.size() > kMaxPiece) return std::nullopt;
    z_stream stream{};
    if (deflateInit2_(&stream, 1, Z_DEFLATED, kRawWindowBits, 8, Z_DEFAULT_STRATEGY, kZlibVersion,
                      static_cast<int>(sizeof(z_stream))) != Z_OK)
        return std::nullopt;
    const uLong bound = deflateBound(&stream, static_cast<uLong>(bytes.size()));
    if (bound > kMaxPiece) {
        deflateEnd(&stream);
        return std::nullopt;
    }
    std::vector<std::byte> out(bound);
    stream.next_in = input(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int ret = deflate(&stream, Z_FINISH);
    std::optional<std::vector<std::byte>> result;
    if (ret == Z_STREAM_END) {
        out.resize(std::min<std::size_t>(stream.total_out, out.size()));
        result = std::move(out);
    }
    deflateEnd(&stream);
    return result;
}

}  // namespace quarlin
