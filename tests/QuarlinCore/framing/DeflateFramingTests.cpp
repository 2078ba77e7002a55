#include <gtest/gtest.h>
#include <zlib.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "QuarlinCore/framing/DeflateFraming.h"

namespace quarlin {
namespace {

using Bytes = std::vector<std::byte>;
using State = DeflateFraming::ScanState;

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::byte>(rng());
    return out;
}

Bytes text(std::size_t n) {
    const std::string words = "the quick brown fox jumps over the lazy dog 0123456789 ";
    Bytes out(n);
    std::mt19937 rng(5);
    for (auto& b : out) b = static_cast<std::byte>(words[rng() % words.size()]);
    return out;
}

// A raw deflate stream made by zlib itself at the given level and strategy.
Bytes zlibDeflate(const Bytes& input, int level, int strategy) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
    Bytes out(deflateBound(&s, input.size()) + 16);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input.data()));
    s.avail_in = static_cast<uInt>(input.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

std::uint32_t zlibCRC(const Bytes& b) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(b.data()), b.size()));
}

TEST(DeflateFraming, StoredBlockOfFiveBytesBeforeUnrelatedBytes) {
    // BFINAL=1, BTYPE=00; LEN=5, NLEN=~5; "hello"; then bytes that are not part of the stream.
    const Bytes bytes{std::byte{0x01}, std::byte{0x05}, std::byte{0x00}, std::byte{0xFA},
                      std::byte{0xFF}, std::byte{'h'},  std::byte{'e'},  std::byte{'l'},
                      std::byte{'l'},  std::byte{'o'},  std::byte{0xFF}, std::byte{0x07},
                      std::byte{0x13}};
    const auto scan = DeflateFraming::scanRawStream(bytes, 0);
    ASSERT_TRUE(scan);
    EXPECT_EQ(*scan, (DeflateFraming::Scan{10, 5, 0x3610A686U}));
}

TEST(DeflateFraming, StreamsCrossingTheInputChunkBoundary) {
    // Incompressible input makes a stream longer than one 4 MiB input chunk.
    const Bytes input = randomBytes(DeflateFraming::scanChunkSize + 300000, 9);
    const Bytes stream = zlibDeflate(input, 1, Z_DEFAULT_STRATEGY);
    ASSERT_GT(stream.size(), static_cast<std::size_t>(DeflateFraming::scanChunkSize));
    Bytes placed = stream;
    placed.resize(stream.size() + 7, std::byte{0x55});
    const auto scan = DeflateFraming::scanRawStream(placed, 0);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->compressedLength, static_cast<std::int64_t>(stream.size()));
    EXPECT_EQ(scan->crc32, zlibCRC(input));

    // Ending exactly at the end of the first chunk, and one byte short of that.
    const Bytes exact(stream.begin(), stream.end());
    EXPECT_TRUE(DeflateFraming::scanRawStream(exact, 0));
    const Bytes cut(stream.begin(), stream.end() - 1);
    EXPECT_FALSE(DeflateFraming::scanRawStream(cut, 0));
}

TEST(DeflateFraming, OutputFarLargerThanTheScratchBufferIsCountedExactly) {
    // The whole input is taken long before the output is given, so inflated bytes are still
    // pending in zlib when its input runs dry.
    const std::size_t size = 64 * 1024 * 1024 + 17;
    const Bytes zeros(size);
    const Bytes stream = zlibDeflate(zeros, 9, Z_DEFAULT_STRATEGY);
    const auto scan = DeflateFraming::scanRawStream(stream, 0);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->outputLength, size);
    EXPECT_EQ(scan->crc32, zlibCRC(zeros));

    auto scanner = DeflateFraming::RawInflateScanner::make(0);
    ASSERT_TRUE(scanner);
    EXPECT_EQ(scanner->consume(stream), State::finished);
    EXPECT_EQ(scanner->totalOut(), size);
    EXPECT_EQ(scanner->totalIn(), stream.size());
}

TEST(DeflateFraming, RefusesTruncatedCorruptAndMisplacedStreams) {
    const Bytes stream = zlibDeflate(text(20000), 6, Z_DEFAULT_STRATEGY);
    const Bytes cut(stream.begin(), stream.end() - 1);
    EXPECT_FALSE(DeflateFraming::scanRawStream(cut, 0));
    EXPECT_FALSE(DeflateFraming::scanRawStream(stream, static_cast<std::int64_t>(stream.size())));
    EXPECT_FALSE(DeflateFraming::scanRawStream(stream, -1));
    EXPECT_FALSE(DeflateFraming::scanRawStream(stream, std::numeric_limits<std::int64_t>::max()));
    EXPECT_FALSE(DeflateFraming::scanRawStream(stream, std::numeric_limits<std::int64_t>::min()));
    EXPECT_FALSE(DeflateFraming::scanRawStream({}, 0));

    const Bytes reservedType{std::byte{0x07}, std::byte{0}, std::byte{0}, std::byte{0}};
    EXPECT_FALSE(DeflateFraming::scanRawStream(reservedType, 0));
    auto scanner = DeflateFraming::RawInflateScanner::make(0);
    ASSERT_TRUE(scanner);
    EXPECT_EQ(scanner->consume(reservedType), State::corrupt);
    EXPECT_EQ(scanner->consume(stream), State::corrupt);
}

TEST(DeflateFraming, ScannerStateMachine) {
    const Bytes stream = zlibDeflate(text(5000), 6, Z_DEFAULT_STRATEGY);
    auto scanner = DeflateFraming::RawInflateScanner::make(0);
    ASSERT_TRUE(scanner);
    EXPECT_EQ(scanner->scratchSize(), DeflateFraming::RawInflateScanner::minimumScratchSize);
    EXPECT_EQ(scanner->consume({}), State::needsMoreInput);
    EXPECT_EQ(scanner->totalIn(), 0U);

    const std::span<const std::byte> all(stream);
    EXPECT_EQ(scanner->consume(all.first(all.size() - 1)), State::needsMoreInput);
    EXPECT_EQ(scanner->totalIn(), all.size() - 1);
    EXPECT_EQ(scanner->consume(all.last(1)), State::finished);
    const auto in = scanner->totalIn();
    const auto out = scanner->totalOut();
    EXPECT_EQ(scanner->consume(all), State::finished);
    EXPECT_EQ(scanner->totalIn(), in);
    EXPECT_EQ(scanner->totalOut(), out);

    EXPECT_EQ(DeflateFraming::RawInflateScanner::make(100000)->scratchSize(), 100000);
    EXPECT_FALSE(DeflateFraming::RawInflateScanner::make(std::int64_t{1} << 32));
}

TEST(DeflateFraming, DeflateRawRoundTripsThroughTheScan) {
    for (const Bytes& input : {Bytes{}, text(1), text(100000), randomBytes(70000, 8)}) {
        SCOPED_TRACE(input.size());
        const auto stream = DeflateFraming::deflateRaw(input);
        ASSERT_TRUE(stream);
        const auto scan = DeflateFraming::scanRawStream(*stream, 0);
        ASSERT_TRUE(scan);
        EXPECT_EQ(scan->compressedLength, static_cast<std::int64_t>(stream->size()));
        EXPECT_EQ(scan->outputLength, input.size());
        EXPECT_EQ(scan->crc32, DeflateFraming::crc32Checksum(input));
        EXPECT_EQ(DeflateFraming::crc32Checksum(input), zlibCRC(input));
    }
}

}  // namespace
}  // namespace quarlin
