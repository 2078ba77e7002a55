// The whole scan over hostile bytes, in chunks as small as it allows: candidates straddle chunk
// ends, walks outgrow their chunk and the extension buffer, disk images are measured back
// across chunks, files are written both from held buffers and from the source, and the scan is
// stopped and resumed. Whatever the bytes, the scan finishes, every file it reports lies inside
// the source, every file it writes holds exactly the source's bytes there, nothing else is left
// in the folder, and where no walk is cut short by its bound the same intact files are found as
// in one chunk and one pass.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "QuarlinCore/io/DeviceIdentity.h"
#include "QuarlinCore/recovery/Recovery.h"
#include "QuarlinCore/recovery/Scanner.h"

using namespace quarlin;
using namespace quarlin::recovery;
namespace fs = std::filesystem;

// Says which check failed before aborting, so that a finding reads without a debugger.
#define REQUIRE(condition)                                                          \
    do {                                                                            \
        if (!(condition)) {                                                         \
            std::fprintf(stderr, "failed at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                           \
        }                                                                           \
    } while (false)

namespace {

class MemoryReader final : public BlockReader {
public:
    MemoryReader(std::span<const std::byte> bytes, std::int64_t blockSize) : bytes_(bytes), blockSize_(blockSize) {}
    std::int64_t blockSize() const override { return blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return identity_; }
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override {
        const auto size = static_cast<std::uint64_t>(blockSize_);
        REQUIRE(count > 0 && (at + static_cast<std::uint64_t>(count)) * size <= bytes_.size());
        const auto from = bytes_.subspan(at * size, static_cast<std::size_t>(count) * size);
        co_return Data(from.begin(), from.end());
    }

private:
    std::span<const std::byte> bytes_;
    std::int64_t blockSize_;
    DeviceIdentity identity_;
};

// A folder of its own for each input, removed when the input is done: a run that libFuzzer
// ends between inputs (its time limit) leaves none behind.
struct ScratchFolder {
    ScratchFolder() {
        std::string name = (fs::temp_directory_path() / "quarlin-scan-fuzz-XXXXXX").string();
        REQUIRE(::mkdtemp(name.data()) != nullptr);
        path = name;
    }
    ~ScratchFolder() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    fs::path path;
};

std::uint64_t offsetOf(const FileRecord& record) {
    return std::get<DataLayout::Extents>(record.layout->value()).extents.at(0).volumeByteOffset;
}

// The intact files found, but those inside a file found not intact:
// whether marks inside such a file are looked at depends on how it was measured.
std::set<std::pair<std::uint64_t, std::uint64_t>> intactFiles(FoundFiles& files) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> intact;
    std::uint64_t notIntactUntil = 0;
    for (const auto& record : files.records()) {
        const std::uint64_t at = offsetOf(record);
        if (verdictKind(record.verdict) != "looksIntact") notIntactUntil = std::max(notIntactUntil, at + record.declaredSize);
        else if (at >= notIntactUntil) intact.emplace(at, record.declaredSize);
    }
    return intact;
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    const auto control = input.take(2);
    // Blocks of one byte let chunks be as small as 512 bytes; blocks of 512 are a disk's.
    const std::int64_t blockSize = control & 1 ? 512 : 1;
    ScanOptions options;
    options.unaligned = control & 2;
    options.chunkBytes = 512 * blockSize * static_cast<std::int64_t>(1 + (control >> 2 & 3));
    options.maxWalkBytes = 4096 * static_cast<std::int64_t>(1 + (control >> 4 & 15));
    const bool writeFiles = control & 0x100;
    const ScratchFolder scratch;
    const fs::path& folder = scratch.path;
    if (writeFiles) options.filesDirectory = folder;
    if (control & 0x200) options.maxWalkBytes = std::int64_t{1} << 30;
    options.from = input.take(1) * 64;

    std::vector<std::byte> source(input.rest().begin(), input.rest().end());
    source.resize(source.size() / static_cast<std::size_t>(blockSize) * static_cast<std::size_t>(blockSize));
    if (source.empty() || options.from >= source.size()) return 0;
    MemoryReader reader(source, blockSize);
    ScanOutcome outcome;
    const int stopEvery = control >> 10 & 3;
    if (stopEvery > 0) {
        // In pieces, as a stop and --resume make it: stopped every few asks and resumed where it
        // stopped, with the files found so far, past those.
        auto found = FoundFiles::create(writeFiles ? folder : fs::temp_directory_path());
        REQUIRE(found.has_value());
        options.found = *found;
        options.filesFrom = options.from;
        // A few stops: a stop inside a file's check looks at the file again on resume.
        int asked = 0, stops = 0;
        options.stopRequested = [&] { return ++asked % (stopEvery + 1) == 0 && stops++ < 8; };
        for (int round = 0;; ++round) {
            REQUIRE(round <= 8);
            outcome = scanSource(reader, source.size(), options);
            REQUIRE(!outcome.error && outcome.stoppedAt >= options.from);
            if (outcome.finished) break;
            options.from = outcome.stoppedAt;
            options.coveredUntil = outcome.coveredUntil;
        }
        options.from = *options.filesFrom;
        options.stopRequested = nullptr;
        options.found = nullptr;
    } else {
        outcome = scanSource(reader, source.size(), options);
    }
    REQUIRE(!outcome.error && outcome.finished && outcome.files);
    REQUIRE(outcome.stoppedAt == outcome.rangeEnd && outcome.rangeEnd == source.size());

    std::size_t written = 0;
    std::uint64_t previous = 0;
    for (const auto& record : outcome.files->records()) {
        const auto* layout = record.layout ? std::get_if<DataLayout::Extents>(&record.layout->value()) : nullptr;
        REQUIRE(layout && layout->extents.size() == 1);
        const auto& extent = layout->extents[0];
        // In order, and inside the source: a disk image found by its trailer may begin before
        // the range scanned, never before the source.
        REQUIRE(extent.volumeByteOffset >= previous && extent.byteLength == record.declaredSize);
        REQUIRE(extent.byteLength > 0 && extent.byteLength <= source.size() - extent.volumeByteOffset);
        previous = extent.volumeByteOffset;
        if (!writeFiles) continue;
        const auto bytes = fileBytes(folder / record.name);
        REQUIRE(bytes.size() == extent.byteLength &&
                std::memcmp(bytes.data(), source.data() + extent.volumeByteOffset, bytes.size()) == 0);
        ++written;
    }
    if (writeFiles) {
        std::size_t inFolder = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            ++inFolder;
            fs::remove(entry.path());
        }
        REQUIRE(inFolder == written);
    }
    // Where no walk is cut by its bound, the intact files found do not depend on where chunks end.
    if (options.maxWalkBytes >= static_cast<std::int64_t>(source.size())) {
        ScanOptions inOneChunk = options;
        inOneChunk.filesDirectory.reset();
        inOneChunk.coveredUntil = 0;
        inOneChunk.filesFrom.reset();
        inOneChunk.chunkBytes = static_cast<std::int64_t>(source.size()) + 512 * blockSize;
        const auto whole = scanSource(reader, source.size(), inOneChunk);
        REQUIRE(!whole.error && whole.files);
        REQUIRE(intactFiles(*outcome.files) == intactFiles(*whole.files));
    }
    return 0;
}
