// Reads a cached 1 GiB image in 1 MiB blocks four ways in the same run, interleaved
// slice by slice: a plain pread loop into one reused buffer, the same loop with a new
// buffer per read, the image-file reader, and the counting wrapper around it. Prints the
// median and best throughput of each and their ratios to the plain loop.
//
//   corelib_image_read_bench [image path] [rounds]
// The image (default: $TMPDIR or /tmp, quarlin-bench-1g.img) is made when missing.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../support/Rounds.h"
#include "QuarlinCore/io/ImageFileBlockReader.h"
#include "QuarlinCore/io/WriteAssertingBlockReader.h"
#include "runtime/Runtime.h"

namespace {

constexpr std::int64_t kBlock = 1 << 20;
constexpr std::int64_t kBlocks = 1024;  // 1 GiB

std::string defaultImagePath() {
    const char* tmp = std::getenv("TMPDIR");
    return (std::filesystem::path(tmp ? tmp : "/tmp") / "quarlin-bench-1g.img").string();
}

void makeImage(const std::string& path) {
    if (std::filesystem::exists(path) && std::filesystem::file_size(path) == std::uintmax_t(kBlock * kBlocks)) return;
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) std::exit(1);
    std::vector<unsigned char> block(kBlock);
    for (std::int64_t b = 0; b < kBlocks; ++b) {
        for (std::size_t i = 0; i < block.size(); i += 4096) block[i] = static_cast<unsigned char>(b + i);
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::exit(1);
    }
    ::close(fd);
}

// Something derived from every block read, so no read can be optimised away.
volatile std::uint64_t sink;

double seconds(const std::function<void()>& pass) {
    const auto start = std::chrono::steady_clock::now();
    pass();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The plain loop reads into one buffer of the kind the readers hand out (page-aligned, made of
// huge pages), allocated once: the ratios then measure the readers' own cost. A heap vector
// would measure the allocator's luck: on this machine's processor the kernel's copy out of the
// page cache runs from 8 to 22.6 GiB/s with the destination's offset (1 MiB reads at offsets 0
// to 4,096 in steps of 16), and a heap buffer lands at a different offset each time.
void plainPass(int fd, std::int64_t first, std::int64_t count) {
    quarlin::Data buffer(kBlock);
    std::uint64_t sum = 0;
    for (std::int64_t b = first; b < first + count; ++b) {
        if (::pread(fd, buffer.data(), kBlock, b * kBlock) != kBlock) std::exit(2);
        sum += std::to_integer<unsigned>(buffer[kBlock / 2]);
    }
    sink = sum;
}

// The same loop, but each read gets a new zero-filled buffer, as a reader that hands back an
// owned buffer must do: shows how much of the gap is the buffer rather than the reader.
void freshBufferPass(int fd, std::int64_t first, std::int64_t count) {
    std::uint64_t sum = 0;
    for (std::int64_t b = first; b < first + count; ++b) {
        quarlin::Data buffer(kBlock);
        if (::pread(fd, buffer.data(), kBlock, b * kBlock) != kBlock) std::exit(2);
        sum += std::to_integer<unsigned>(buffer[kBlock / 2]);
    }
    sink = sum;
}

void readerPass(quarlin::BlockReader& reader, std::int64_t first, std::int64_t count) {
    sink = quarlin::runtime::runBlockingFunction([&reader, first, count]() -> quarlin::runtime::Task<std::uint64_t> {
        std::uint64_t sum = 0;
        for (std::int64_t b = first; b < first + count; ++b) {
            const quarlin::Data bytes = co_await reader.readBlocks(static_cast<std::uint64_t>(b), 1);
            sum += std::to_integer<unsigned>(bytes[kBlock / 2]);
        }
        co_return sum;
    });
}

}  // namespace

int main(int argc, char** argv) {
    quarlin::bench::stayOnThisProcessor();
    const std::string path = argc > 1 ? argv[1] : defaultImagePath();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    makeImage(path);

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    auto image = std::make_shared<quarlin::ImageFileBlockReader>(path, kBlock);
    quarlin::WriteAssertingBlockReader wrapper(image);

    plainPass(fd, 0, kBlocks);  // warms the page cache
    std::vector<quarlin::bench::Method> methods = {
        {"plain pread loop", [&](std::int64_t b, std::int64_t n) { return seconds([&] { plainPass(fd, b, n); }); }, {}},
        {"pread, fresh buffer each",
         [&](std::int64_t b, std::int64_t n) { return seconds([&] { freshBufferPass(fd, b, n); }); }, {}},
        {"ImageFileBlockReader", [&](std::int64_t b, std::int64_t n) { return seconds([&] { readerPass(*image, b, n); }); }, {}},
        {"WriteAssertingBlockReader",
         [&](std::int64_t b, std::int64_t n) { return seconds([&] { readerPass(wrapper, b, n); }); }, {}},
    };
    quarlin::bench::runRounds(methods, rounds, kBlocks);
    ::close(fd);
    std::printf("1 GiB cached image, 1 MiB blocks, %d rounds\n", rounds);
    quarlin::bench::printRatios(methods, double(kBlock * kBlocks) / double(1 << 30));
    return 0;
}
