// The whole scan over hostile bytes, in chunks as small as it allows: candidates straddle chunk
// ends, walks outgrow their chunk and the extension buffer, disk images are measured back
// across chunks, and files are written both from held buffers and from the source. Whatever
// the bytes, the scan finishes, every file it reports lies inside the source, every file it
// writes holds exactly the source's bytes there, nothing else is left in the folder, and where
// no walk is cut short by its bound the same intact files are found as in one chunk.
#include <unistd.h>

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

namespace {

class MemoryReader final : public BlockReader {
public:
    MemoryReader(std::span<const std::byte> bytes, std::int64_t blockSize) : bytes_(bytes), blockSize_(blockSize) {}
    std::int64_t blockSize() const override { return blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return identity_; }
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override {
        const auto size = static_cast<std::uint64_t>(blockSize_);
        fuzz::require(count > 0 && (at + static_cast<std::uint64_t>(count)) * size <= bytes_.size());
        const auto from = bytes_.subspan(at * size, static_cast<std::size_t>(count) * size);
        co_return Data(from.begin(), from.end());
    }

private:
    std::span<const std::byte> bytes_;
    std::int64_t blockSize_;
    DeviceIdentity identity_;
};

const fs::path& folder() {
    static const fs::path path = [] {
        std::string name = (fs::temp_directory_path() / "quarlin-scan-fuzz-XXXXXX").string();
        fuzz::require(::mkdtemp(name.data()) != nullptr);
        std::atexit([] { fs::remove_all(folder()); });
        return fs::path(name);
    }();
    return path;
}

std::set<std::pair<std::uint64_t, std::uint64_t>> intactFiles(FoundFiles& files) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> intact;
    for (const auto& record : files.records())
        if (verdictKind(record.verdict) == "looksIntact")
            intact.emplace(std::get<DataLayout::Extents>(record.layout->value()).extents.at(0).volumeByteOffset,
                           record.declaredSize);
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
    if (writeFiles) options.filesDirectory = folder();
    if (control & 0x200) options.maxWalkBytes = std::int64_t{1} << 30;
    options.from = input.take(1) * 64;

    std::vector<std::byte> source(input.rest().begin(), input.rest().end());
    source.resize(source.size() / static_cast<std::size_t>(blockSize) * static_cast<std::size_t>(blockSize));
    if (source.empty() || options.from >= source.size()) return 0;
    MemoryReader reader(source, blockSize);
    const auto outcome = scanSource(reader, source.size(), options);
    fuzz::require(!outcome.error && outcome.finished && outcome.files);
    fuzz::require(outcome.stoppedAt == outcome.rangeEnd && outcome.rangeEnd == source.size());

    std::size_t written = 0;
    std::uint64_t previous = 0;
    for (const auto& record : outcome.files->records()) {
        const auto* layout = record.layout ? std::get_if<DataLayout::Extents>(&record.layout->value()) : nullptr;
        fuzz::require(layout && layout->extents.size() == 1);
        const auto& extent = layout->extents[0];
        // In order, and inside the source: a disk image found by its trailer may begin before
        // the range scanned, never before the source.
        fuzz::require(extent.volumeByteOffset >= previous && extent.byteLength == record.declaredSize);
        fuzz::require(extent.byteLength > 0 && extent.byteLength <= source.size() - extent.volumeByteOffset);
        previous = extent.volumeByteOffset;
        if (!writeFiles) continue;
        const auto bytes = fileBytes(folder() / record.name);
        fuzz::require(bytes.size() == extent.byteLength &&
                      std::memcmp(bytes.data(), source.data() + extent.volumeByteOffset, bytes.size()) == 0);
        ++written;
    }
    if (writeFiles) {
        std::size_t inFolder = 0;
        for (const auto& entry : fs::directory_iterator(folder())) {
            ++inFolder;
            fs::remove(entry.path());
        }
        fuzz::require(inFolder == written);
    }
    // Where no walk is cut by its bound, the intact files found do not depend on where chunks end.
    if (options.maxWalkBytes >= static_cast<std::int64_t>(source.size())) {
        ScanOptions inOneChunk = options;
        inOneChunk.filesDirectory.reset();
        inOneChunk.chunkBytes = static_cast<std::int64_t>(source.size()) + 512 * blockSize;
        const auto whole = scanSource(reader, source.size(), inOneChunk);
        fuzz::require(!whole.error && whole.files);
        fuzz::require(intactFiles(*outcome.files) == intactFiles(*whole.files));
    }
    return 0;
}
