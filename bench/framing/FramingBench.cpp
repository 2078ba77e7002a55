// Throughput of the framing validators and walkers, each beside a reference in the same run:
// scanRawStream against plain raw inflate, CRC32::compute against zlib's crc32, and the MPEG
// and RAR walkers over large synthetic inputs.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuarlinCore/carving/MPEGWalker.h"
#include "QuarlinCore/carving/RAR4Walker.h"
#include "QuarlinCore/carving/RAR5Walker.h"
#include "QuarlinCore/framing/CRC32.h"
#include "QuarlinCore/framing/DeflateFraming.h"
#include "QuarlinCore/framing/MPEGAudioFraming.h"
#include "QuarlinCore/framing/RAR4Framing.h"
#include "QuarlinCore/framing/RAR5Framing.h"

namespace {

using namespace quarlin;
using Bytes = std::vector<std::byte>;

constexpr std::size_t kMiB = 1024 * 1024;

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    Bytes out(n);
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k) out[i + k] = static_cast<std::byte>(v >> (8 * k));
    }
    return out;
}

// Text-like data, words with two random bytes in place of one word in `noiseEvery`, compressed
// until the raw deflate stream itself is 64 MiB. One in 4 inflates about 4.3 times, one in 2
// about 2.6 times; the scanner's extra work, the CRC of every inflated byte, grows with it.
Bytes makeDeflateStream(unsigned noiseEvery) {
    const char* words[] = {"carve ",  "block ",  "stream ", "volume ",
                           "extent ", "header ", "frame ",  "offset "};
    std::mt19937 rng(1);
    z_stream s{};
    if (deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("zlib");
    Bytes out(80 * kMiB);
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    std::string piece;
    while (s.total_out < 64 * kMiB) {
        piece.clear();
        while (piece.size() < 65536) {
            if (rng() % noiseEvery == 0) {
                piece += static_cast<char>(rng());
                piece += static_cast<char>(rng());
            } else {
                piece += words[rng() % 8];
            }
        }
        s.next_in = reinterpret_cast<Bytef*>(piece.data());
        s.avail_in = static_cast<uInt>(piece.size());
        deflate(&s, Z_NO_FLUSH);
    }
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

const Bytes& deflateStream(std::int64_t noiseEvery) {
    static const Bytes dense = makeDeflateStream(4);
    static const Bytes mixed = makeDeflateStream(2);
    return noiseEvery == 4 ? dense : mixed;
}

void BM_ScanRawStream(benchmark::State& state) {
    const Bytes& stream = deflateStream(state.range(0));
    for (auto _ : state) {
        const auto scan = DeflateFraming::scanRawStream(stream, 0);
        if (!scan) state.SkipWithError("stream not found");
        benchmark::DoNotOptimize(scan);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

// The reference: the same stream inflated by zlib into one reused 256 KiB buffer, nothing else.
void BM_PlainRawInflate(benchmark::State& state) {
    const Bytes& stream = deflateStream(state.range(0));
    std::vector<Bytef> out(DeflateFraming::scanScratchSize);
    for (auto _ : state) {
        z_stream s{};
        inflateInit2(&s, -15);
        s.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(stream.data()));
        s.avail_in = static_cast<uInt>(stream.size());
        int ret = Z_OK;
        while (ret == Z_OK) {
            s.next_out = out.data();
            s.avail_out = static_cast<uInt>(out.size());
            ret = inflate(&s, Z_NO_FLUSH);
        }
        if (ret != Z_STREAM_END) state.SkipWithError("inflate failed");
        benchmark::DoNotOptimize(s.total_out);
        inflateEnd(&s);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

const Bytes& crcInput() {
    static const Bytes bytes = randomBytes(64 * kMiB, 2);
    return bytes;
}

void BM_CRC32Compute(benchmark::State& state) {
    const Bytes& bytes = crcInput();
    for (auto _ : state) benchmark::DoNotOptimize(CRC32::compute(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_ZlibCRC32(benchmark::State& state) {
    const Bytes& bytes = crcInput();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()),
                                       static_cast<uInt>(bytes.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// 64 MiB of frames of changing bitrate (one MPEG-1 Layer III stream at 44.1 kHz), tagged.
const Bytes& mpegStream() {
    static const Bytes bytes = [] {
        Bytes out(10);
        const char id3[] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
        for (int i = 0; i < 10; ++i) out[i] = static_cast<std::byte>(id3[i]);
        std::mt19937 rng(3);
        while (out.size() < 64 * kMiB) {
            const auto byte2 = static_cast<std::uint8_t>((1 + rng() % 14) << 4 | (rng() % 2) << 1);
            const auto length = *MPEGAudioFraming::frameLength(0xFF, 0xFB, byte2);
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(length));
            out[at] = std::byte{0xFF};
            out[at + 1] = std::byte{0xFB};
            out[at + 2] = static_cast<std::byte>(byte2);
        }
        return out;
    }();
    return bytes;
}

void BM_MPEGWalker(benchmark::State& state) {
    const Bytes& bytes = mpegStream();
    for (auto _ : state) {
        const auto walk = MPEGWalker::walk(bytes, 0);
        if (!walk || walk->length < static_cast<std::int64_t>(bytes.size()) - 3000)
            state.SkipWithError("short walk");
        benchmark::DoNotOptimize(walk);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void appendVInt(Bytes& out, std::uint64_t v) {
    do {
        auto b = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
        if (v) b |= 0x80;
        out.push_back(static_cast<std::byte>(b));
    } while (v);
}

// A RAR 5 archive of about 64 MiB: file blocks with a 40-byte header and `dataSize` bytes of
// data each, then the end block.
Bytes rar5Archive(std::size_t dataSize) {
    Bytes out(RAR5Framing::signature.begin(), RAR5Framing::signature.end());
    auto block = [&](std::uint64_t type, std::size_t data, std::size_t padding) {
        Bytes body;
        appendVInt(body, type);
        appendVInt(body, data ? 0x2 : 0);
        if (data) appendVInt(body, data);
        body.resize(body.size() + padding);
        Bytes header(4);
        appendVInt(header, body.size());
        header.insert(header.end(), body.begin(), body.end());
        const auto crc = crc32(0, reinterpret_cast<const Bytef*>(header.data()) + 4,
                               static_cast<uInt>(header.size() - 4));
        for (int i = 0; i < 4; ++i) header[i] = static_cast<std::byte>(crc >> (8 * i));
        out.insert(out.end(), header.begin(), header.end());
        out.resize(out.size() + data);
    };
    block(1, 0, 4);
    while (out.size() < 64 * kMiB) block(2, dataSize, 32);
    block(5, 0, 1);
    return out;
}

Bytes rar4Archive(std::size_t dataSize) {
    Bytes out(RAR4Framing::signature.begin(), RAR4Framing::signature.end());
    auto block = [&](std::uint8_t type, std::uint32_t data, std::uint16_t headerSize) {
        const std::size_t at = out.size();
        out.resize(at + headerSize + data);
        out[at + 2] = static_cast<std::byte>(type);
        out[at + 4] = static_cast<std::byte>(data ? 0x80 : 0);
        out[at + 5] = static_cast<std::byte>(headerSize & 0xFF);
        out[at + 6] = static_cast<std::byte>(headerSize >> 8);
        for (int i = 0; data && i < 4; ++i)
            out[at + 7 + i] = static_cast<std::byte>(data >> (8 * i));
        // The header's own CRC, as real archives carry it (the walker checks file headers).
        const auto crc = CRC32::compute(out, static_cast<std::int64_t>(at + 2), static_cast<std::int64_t>(at + headerSize));
        out[at] = static_cast<std::byte>(crc & 0xFF);
        out[at + 1] = static_cast<std::byte>((crc >> 8) & 0xFF);
    };
    block(0x73, 0, 13);
    while (out.size() < 64 * kMiB) block(0x74, static_cast<std::uint32_t>(dataSize), 40);
    block(0x7B, 0, 7);
    return out;
}

template <typename Walker>
void walkArchive(benchmark::State& state, const Bytes& archive) {
    for (auto _ : state) {
        const auto walk = Walker::walk(archive, 0);
        if (!walk || !walk->endReached) state.SkipWithError("end not reached");
        benchmark::DoNotOptimize(walk);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * archive.size()));
    state.counters["blocks/s"] =
        benchmark::Counter(static_cast<double>(Walker::walk(archive, 0)->blocks),
                           benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RAR5Walker(benchmark::State& state) {
    static const Bytes small = rar5Archive(0);
    static const Bytes large = rar5Archive(64 * 1024);
    walkArchive<RAR5Walker>(state, state.range(0) ? large : small);
}

void BM_RAR4Walker(benchmark::State& state) {
    static const Bytes small = rar4Archive(0);
    static const Bytes large = rar4Archive(64 * 1024);
    walkArchive<RAR4Walker>(state, state.range(0) ? large : small);
}

}  // namespace

// Argument: one token in N is noise (see deflateStream).
BENCHMARK(BM_ScanRawStream)->Arg(4)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_PlainRawInflate)->Arg(4)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_CRC32Compute)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibCRC32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MPEGWalker)->Unit(benchmark::kMillisecond);
// Argument 0: header-only blocks (every byte is header); 1: 64 KiB of data per block.
BENCHMARK(BM_RAR5Walker)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RAR4Walker)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
