// Throughput of the FLAC walker, the Ogg page walk and the EBML walker over large files made
// by real encoders at start-up, and of TOC inflation against plain zlib on the same stream.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "QuarlinCore/carving/EBMLWalker.h"
#include "QuarlinCore/carving/FLACWalker.h"
#include "QuarlinCore/framing/OggFraming.h"
#include "QuarlinCore/framing/XARFraming.h"

namespace {

using Bytes = std::vector<std::byte>;

const std::filesystem::path& scratch() {
    static const std::filesystem::path dir = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quarlin-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        return std::filesystem::path(pattern);
    }();
    return dir;
}

// Runs a shell command in the scratch folder and reads the file it wrote; empty on failure.
Bytes made(const std::string& command, const std::string& name) {
    const std::string full =
        "cd '" + scratch().string() + "' && (" + command + ") >/dev/null 2>&1 </dev/null";
    if (std::system(full.c_str()) != 0) return {};
    std::ifstream in(scratch() / name, std::ios::binary);
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes bytes(chars.size());
    for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
    return bytes;
}

const std::string kNoise =
    "ffmpeg -hide_banner -y -f lavfi -i "
    "'anoisesrc=color=pink:amplitude=0.4:duration=240:sample_rate=44100' -ac 2 "
    "noise.wav";

const Bytes& flacFile() {
    static const Bytes bytes =
        made(kNoise + " && flac -s -f -o noise.flac noise.wav", "noise.flac");
    return bytes;
}

const Bytes& oggFile() {
    static const Bytes bytes = made(
        "test -f noise.wav || " + kNoise + "; oggenc -Q -q 10 -o noise.ogg noise.wav", "noise.ogg");
    return bytes;
}

const Bytes& matroskaFile() {
    static const Bytes bytes = made(
        "ffmpeg -hide_banner -y -f lavfi -i testsrc=duration=30:size=1280x720:rate=25 -c:v mpeg4 "
        "-q:v 1 "
        "-f matroska - > video.mkv",
        "video.mkv");
    return bytes;
}

// A TOC-like XML text of about 16 MiB and its zlib stream at level 1, as a XAR writer makes.
struct TOC {
    Bytes text;
    Bytes compressed;
};

const TOC& largeTOC() {
    static const TOC toc = [] {
        TOC t;
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n";
        std::uint64_t offset = 20;
        for (int i = 0; xml.size() < (16U << 20); ++i) {
            const std::uint64_t length = 100 + (i * 7919) % 50000;
            xml +=
                "  <file id=\"" + std::to_string(i) + "\">\n   <name>file" +
                std::to_string(i * 31) +
                ".dat</name>\n   <type>file</type>\n   <mode>0644</mode>\n   <data>\n    <length>" +
                std::to_string(length) + "</length>\n    <offset>" + std::to_string(offset) +
                "</offset>\n    <size>" + std::to_string(length * 3) +
                "</size>\n    <encoding style=\"application/x-gzip\"/>\n   </data>\n  </file>\n";
            offset += length;
        }
        xml += " </toc>\n</xar>\n";
        for (char c : xml) t.text.push_back(static_cast<std::byte>(c));
        t.compressed = *quarlin::XARFraming::deflate(t.text);
        return t;
    }();
    return toc;
}

bool usable(benchmark::State& state, const Bytes& bytes) {
    if (!bytes.empty()) return true;
    state.SkipWithError("the encoder could not make the input");
    return false;
}

void BM_FLACWalker(benchmark::State& state) {
    const auto& file = flacFile();
    if (!usable(state, file)) return;
    for (auto _ : state) {
        const auto walk = quarlin::FLACWalker::walk(file, 0);
        if (!walk || walk->length != static_cast<std::int64_t>(file.size()))
            state.SkipWithError("walk fell short");
        benchmark::DoNotOptimize(walk);
    }
    state.counters["inputMB"] = static_cast<double>(file.size()) / 1e6;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}

void BM_OggWalkPages(benchmark::State& state) {
    const auto& file = oggFile();
    if (!usable(state, file)) return;
    for (auto _ : state) {
        const auto walk = quarlin::OggPageFraming::walkPages(file);
        if (walk.bytesWalked != static_cast<std::int64_t>(file.size()))
            state.SkipWithError("walk fell short");
        benchmark::DoNotOptimize(walk);
    }
    state.counters["inputMB"] = static_cast<double>(file.size()) / 1e6;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}

void BM_EBMLWalker(benchmark::State& state) {
    const auto& file = matroskaFile();
    if (!usable(state, file)) return;
    for (auto _ : state) {
        const auto walk = quarlin::EBMLWalker::walk(file, 0);
        if (!walk || walk->length != static_cast<std::int64_t>(file.size()))
            state.SkipWithError("walk fell short");
        benchmark::DoNotOptimize(walk);
    }
    state.counters["inputMB"] = static_cast<double>(file.size()) / 1e6;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}

void BM_InflateTOC(benchmark::State& state) {
    const auto& toc = largeTOC();
    for (auto _ : state) {
        auto out = quarlin::XARFraming::inflateTOC(toc.compressed,
                                                   static_cast<std::int64_t>(toc.text.size()));
        if (!out) state.SkipWithError("inflate failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * toc.text.size()));
}

// The baseline: zlib's own one-shot inflate of the same stream into a fresh buffer.
void BM_ZlibUncompress(benchmark::State& state) {
    const auto& toc = largeTOC();
    for (auto _ : state) {
        auto out = std::make_unique_for_overwrite<Bytef[]>(toc.text.size());
        uLongf produced = toc.text.size();
        if (uncompress(out.get(), &produced, reinterpret_cast<const Bytef*>(toc.compressed.data()),
                       toc.compressed.size()) != Z_OK)
            state.SkipWithError("inflate failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * toc.text.size()));
}

// Both heap scans over the same 16 MiB TOC; each must stay one pass over the text.
void BM_HeapEnd(benchmark::State& state) {
    const auto& toc = largeTOC();
    for (auto _ : state) benchmark::DoNotOptimize(quarlin::XARFraming::heapEnd(toc.text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * toc.text.size()));
}

void BM_HeapEndOfElements(benchmark::State& state) {
    const auto& toc = largeTOC();
    for (auto _ : state) benchmark::DoNotOptimize(quarlin::XARFraming::heapEndOfElements(toc.text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * toc.text.size()));
}

BENCHMARK(BM_FLACWalker)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OggWalkPages)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EBMLWalker)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InflateTOC)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapEnd)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapEndOfElements)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(scratch());
    return 0;
}
