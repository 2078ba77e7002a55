// Sequential 1 MiB reads of a 1 GiB image held in the page cache: a plain pread loop, the
// raw disk reader, and the service's read path, measured in the same run, interleaved slice
// by slice, so that the ratios compare like with like; then the fixed cost of one read apart
// from its copy, which the machine's noise does not hide.
//
//   foundation_read_bench [image path] [rounds]
//
// The image is created (and removed afterwards) when the path does not exist yet.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "../support/Rounds.h"
#include "DiskAccess/RawDiskBlockReader.h"
#include "QuarlinHelper/QuarlinHelperService.h"
#include "platform/devicepaths/DevicePaths.h"

namespace {

using namespace quarlin;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kBlockSize = 512;
constexpr std::int64_t kChunkBytes = 1 << 20;
constexpr std::int64_t kChunkBlocks = kChunkBytes / kBlockSize;
constexpr std::int64_t kImageBytes = std::int64_t{1} << 30;
constexpr std::int64_t kChunks = kImageBytes / kChunkBytes;

void createImage(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::perror("open image");
        std::exit(1);
    }
    std::vector<unsigned char> chunk(kChunkBytes);
    for (std::int64_t i = 0; i < kChunks; ++i) {
        for (std::size_t b = 0; b < chunk.size(); b += 512) chunk[b] = static_cast<unsigned char>(i + b / 512);
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
            std::perror("write image");
            std::exit(1);
        }
    }
    ::close(fd);
}

// Touches every byte so no method can skip the copy.
std::uint64_t checksum(const std::byte* data, std::size_t size) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < size; i += 512) sum += std::to_integer<unsigned>(data[i]);
    return sum;
}

// The plain loop reads into one buffer of the kind the readers hand out (page-aligned, made of
// huge pages), allocated once: the ratios then measure the readers' own cost. A heap vector
// would measure the allocator's luck: on this machine's processor the kernel's copy out of the
// page cache runs from 8 to 22.6 GiB/s with the destination's offset (1 MiB reads at offsets 0
// to 4,096 in steps of 16), and a heap buffer lands at a different offset each time.
double plainPreadLoop(const std::string& path, std::uint64_t& sum, std::int64_t first, std::int64_t count) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    Data buffer(kChunkBytes);
    const auto start = Clock::now();
    for (std::int64_t i = first; i < first + count; ++i) {
        if (::pread(fd, buffer.data(), buffer.size(), i * kChunkBytes) != kChunkBytes) std::abort();
        sum += checksum(buffer.data(), buffer.size());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return seconds;
}

// The same loop with a new buffer per read, as the reader allocates one: shows how much of
// the reader's cost is the buffer rather than the actor and the task hops.
double preadLoopFreshBuffers(const std::string& path, std::uint64_t& sum, std::int64_t first, std::int64_t count) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const auto start = Clock::now();
    for (std::int64_t i = first; i < first + count; ++i) {
        Data buffer(kChunkBytes);
        if (::pread(fd, buffer.data(), buffer.size(), i * kChunkBytes) != kChunkBytes) std::abort();
        sum += checksum(buffer.data(), buffer.size());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return seconds;
}

double throughReader(const std::string& path, std::uint64_t& sum, std::int64_t first, std::int64_t count) {
    RawDiskBlockReader reader(path, kBlockSize, std::nullopt);
    const auto start = Clock::now();
    sum += runtime::runBlocking([&]() -> runtime::Task<std::uint64_t> {
        std::uint64_t total = 0;
        for (std::int64_t i = first; i < first + count; ++i) {
            const Data bytes = co_await reader.readBlocks(static_cast<std::uint64_t>(i * kChunkBlocks), kChunkBlocks);
            total += checksum(bytes.data(), bytes.size());
        }
        co_return total;
    }());
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The fixed cost of a read apart from its copy: one cached 4 KiB block read again and
// again, by pread and through the reader, in microseconds per read (best of three).
void printFixedCostPerRead(const std::string& path) {
    constexpr int kReads = 100000;
    constexpr std::int64_t kBytes = 4096;
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<std::byte> buffer(kBytes);
    RawDiskBlockReader reader(path, kBlockSize, std::nullopt);
    double plain = 1e9, viaReader = 1e9;
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto start = Clock::now();
        for (int i = 0; i < kReads; ++i) {
            if (::pread(fd, buffer.data(), kBytes, 0) != kBytes) std::abort();
        }
        plain = std::min(plain, std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kReads);
        start = Clock::now();
        runtime::runBlocking([&]() -> runtime::Task<int> {
            for (int i = 0; i < kReads; ++i) {
                const Data bytes = co_await reader.readBlocks(0, kBytes / kBlockSize);
                if (static_cast<std::int64_t>(bytes.size()) != kBytes) std::abort();
            }
            co_return 0;
        }());
        viaReader = std::min(viaReader, std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kReads);
    }
    ::close(fd);
    std::printf("fixed cost per read (4 KiB of one cached block): pread %.2f us, RawDiskBlockReader %.2f us\n", plain,
                viaReader);
}

// Each reply issues the next read, as a client waiting for every answer would.
double throughService(QuarlinHelperService& service, std::int64_t session, std::uint64_t& sum, std::int64_t first,
                      std::int64_t count) {
    struct Run {
        Run(QuarlinHelperService& s, std::int64_t h, std::uint64_t& total, std::int64_t from, std::int64_t to)
            : service(s), session(h), sum(total), next(from), end(to) {}
        QuarlinHelperService& service;
        std::int64_t session;
        std::uint64_t& sum;
        std::int64_t next;
        std::int64_t end;
        bool failed = false;
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;

        void issue() {
            service.readBlocks(session, static_cast<std::uint64_t>(next * kChunkBlocks), kChunkBlocks,
                               [this](std::optional<Data> bytes, std::optional<ErrorObject> error) {
                                   if (error || !bytes || bytes->size() != kChunkBytes) failed = true;
                                   if (bytes) sum += checksum(bytes->data(), bytes->size());
                                   if (!failed && ++next < end) return issue();
                                   std::lock_guard lock(mutex);
                                   done = true;
                                   finished.notify_all();
                               });
        }
    } run(service, session, sum, first, first + count);
    const auto start = Clock::now();
    run.issue();
    {
        std::unique_lock lock(run.mutex);
        run.finished.wait(lock, [&] { return run.done; });
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (run.failed) {
        std::fprintf(stderr, "a service read failed\n");
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    bench::stayOnThisProcessor();
    const std::string path = argc > 1 ? argv[1] : (std::filesystem::temp_directory_path() / "quarlin-bench.img").string();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const bool created = !std::filesystem::exists(path);
    if (created) createImage(path);
    if (std::filesystem::file_size(path) < static_cast<std::uintmax_t>(kImageBytes)) {
        std::fprintf(stderr, "%s is smaller than 1 GiB\n", path.c_str());
        return 1;
    }

    platform::setDevicePathMapper([path](std::string_view name) -> std::optional<std::string> {
        if (name == "/dev/rdiskBENCH") return path;
        return std::nullopt;
    });
    QuarlinHelperService service;
    std::int64_t session = -1;
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool done = false;
        service.openSession("/dev/rdiskBENCH", [&](std::int64_t handle, std::int64_t, std::uint64_t,
                                                   std::optional<ErrorObject> error) {
            std::lock_guard lock(mutex);
            if (!error) session = handle;
            done = true;
            opened.notify_all();
        });
        std::unique_lock lock(mutex);
        opened.wait(lock, [&] { return done; });
    }
    if (session < 0) {
        std::fprintf(stderr, "could not open a session on the image\n");
        return 1;
    }

    std::uint64_t sum = 0;
    plainPreadLoop(path, sum, 0, kChunks);  // bring the whole image into the page cache
    std::vector<bench::Method> methods = {
        {"plain pread loop", [&](std::int64_t first, std::int64_t count) { return plainPreadLoop(path, sum, first, count); }, {}},
        {"pread, fresh buffers",
         [&](std::int64_t first, std::int64_t count) { return preadLoopFreshBuffers(path, sum, first, count); }, {}},
        {"RawDiskBlockReader", [&](std::int64_t first, std::int64_t count) { return throughReader(path, sum, first, count); }, {}},
        {"service read path",
         [&](std::int64_t first, std::int64_t count) { return throughService(service, session, sum, first, count); }, {}},
    };
    bench::runRounds(methods, rounds, kChunks);
    std::printf("sequential 1 MiB reads of a cached 1 GiB image, %d rounds\n", rounds);
    bench::printRatios(methods, static_cast<double>(kImageBytes) / (1 << 30));
    std::printf("  (checksum %llu)\n", static_cast<unsigned long long>(sum));
    printFixedCostPerRead(path);
    if (created) std::filesystem::remove(path);
    return 0;
}
