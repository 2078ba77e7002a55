// The raw disk reader on real files and, as root, on real read-only loop devices.
#include "DiskAccess/RawDiskBlockReader.h"
#include "QuarlinCore/io/ReadBuffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <limits>

#include "../support/DiskImageFixtures.h"
#include "QuarlinCore/io/IOError.h"
#include "QuarlinCore/io/ImageFileBlockReader.h"
#include "QuarlinCore/io/WriteAssertingBlockReader.h"

namespace quarlin {
namespace {

using fixtures::DevicePathMapping;
using fixtures::LoopDevice;
using fixtures::TempDir;
using runtime::runBlocking;

constexpr auto u64max = std::numeric_limits<std::uint64_t>::max();
constexpr auto i64max = std::numeric_limits<std::int64_t>::max();

// The description of the IOError that `f` throws, or a note that it threw none.
template <class F>
std::string ioErrorOf(F&& f) {
    try {
        f();
    } catch (const IOError& error) {
        return error.errorDescription();
    }
    return "(no error)";
}

TEST(BlockReaders, AReadTaskOutlivesTheReaderThatMadeIt) {
    // The task is made, the reader dropped, then the task awaited: it must read the file the
    // reader had open (AddressSanitizer reports any use of the freed reader).
    TempDir dir;
    const Data bytes = fixtures::patternBytes(64 * 512, 3);
    fixtures::writeFile(dir.file("image"), bytes);
    const std::function<std::shared_ptr<BlockReader>()> makers[] = {
        [&] { return std::make_shared<RawDiskBlockReader>(dir.file("image"), 512, std::nullopt); },
        [&] { return std::make_shared<ImageFileBlockReader>(dir.file("image"), 512); },
        [&] {
            return std::make_shared<WriteAssertingBlockReader>(std::make_shared<ImageFileBlockReader>(dir.file("image"), 512));
        },
    };
    for (const auto& make : makers) {
        auto reader = make();
        auto task = reader->readBlocks(3, 5);
        reader.reset();
        const Data read = runBlocking(std::move(task));
        EXPECT_TRUE(std::equal(read.begin(), read.end(), bytes.begin() + 3 * 512, bytes.begin() + 8 * 512));
        EXPECT_EQ(read.size(), 5u * 512);
    }
}

// Both readers of files, in blocks of `blockSize`.
std::vector<std::shared_ptr<BlockReader>> fileReaders(const std::string& path, std::int64_t blockSize = 512) {
    return {std::make_shared<RawDiskBlockReader>(path, blockSize, std::nullopt),
            std::make_shared<ImageFileBlockReader>(path, blockSize)};
}

TEST(BlockReaders, ReadWholeBlocksWithinTheFileAndRefuseEveryOtherRange) {
    TempDir dir;
    const std::string path = dir.file("image");
    const Data image = fixtures::patternBytes(10 * 512 + 100);  // a trailing partial block
    fixtures::writeFile(path, image);
    struct Case {
        std::uint64_t offset;
        std::int64_t count;
        const char* text;
    };
    // Refusals and reads alternate, so a refusal that spoiled the reader shows in the next read.
    const Case cases[] = {
        {0, 10, "(no error)"},
        {10, 1, "Block range [10, 11) is outside device extent of 10 blocks."},
        {9, 1, "(no error)"},
        {9, 2, "Block range [9, 11) is outside device extent of 10 blocks."},
        {3, 5, "(no error)"},
        {0, 11, "Block range [0, 11) is outside device extent of 10 blocks."},
        {0, 1, "(no error)"},
        // A negative count is refused before any bounds check.
        {0, -1, "count must be >= 0."},
        // End blocks that do not fit in 64 bits are refused without reading.
        {u64max, 1, "Block range [18446744073709551615, 18446744073709551616) is outside device extent of 10 blocks."},
        {u64max - 1, i64max,
         "Block range [18446744073709551614, 27670116110564327421) is outside device extent of 10 blocks."},
        {static_cast<std::uint64_t>(i64max) + 1, 1,
         "Block range [9223372036854775808, 9223372036854775809) is outside device extent of 10 blocks."},
        {1, i64max, "Block range [1, 9223372036854775808) is outside device extent of 10 blocks."},
        {u64max, 0, "(no error)"},
    };
    for (const auto& reader : fileReaders(path)) {
        SCOPED_TRACE(reader->deviceIdentity().displayName + " by " + typeid(*reader).name());
        for (const auto& c : cases) {
            EXPECT_EQ(ioErrorOf([&] {
                          const Data bytes = runBlocking(reader->readBlocks(c.offset, c.count));
                          EXPECT_EQ(bytes, fixtures::slice(image, c.count ? c.offset * 512 : 0,
                                                           static_cast<std::size_t>(c.count) * 512));
                      }),
                      c.text)
                << c.offset << "+" << c.count;
        }
        try {
            runBlocking(reader->readBlocks(9, 3));
            ADD_FAILURE() << "a read past the end succeeded";
        } catch (const IOError& error) {
            const auto* payload = std::get_if<IOError::OutOfBounds>(&error.value());
            ASSERT_NE(payload, nullptr);
            EXPECT_EQ(std::tuple(payload->offset, payload->count, payload->deviceBlockCount), std::tuple(9u, 3, 10u));
        }
    }
}

// A sparse image larger than the machine's memory: a read of all of it is refused as an
// error, while reads of its ordinary parts work.
TEST(BlockReaders, ReadLargerThanMemoryIsRefusedNotFatal) {
    TempDir dir;
    const std::string path = dir.file("sparse");
    const std::uint64_t bytes = (physicalMemoryBytes() / 512 + 2048) * 512;
    fixtures::writeFile(path, {});
    std::filesystem::resize_file(path, bytes);  // sparse: takes no space
    const auto blocks = static_cast<std::int64_t>(bytes / 512);
    for (const auto& reader : fileReaders(path)) {
        EXPECT_EQ(ioErrorOf([&] { runBlocking(reader->readBlocks(0, blocks)); }),
                  "Cannot allocate " + std::to_string(bytes) + " bytes for a read of " + std::to_string(blocks) +
                      " blocks.");
        EXPECT_EQ(runBlocking(reader->readBlocks(blocks - 1, 1)), Data(512, std::byte{0}));
    }
}

TEST(RawDiskBlockReaderTest, ByteRangesThatLeaveTheSignedRangeAreRefused) {
    struct Case {
        std::uint64_t offset;
        std::int64_t count;
        std::int64_t blockSize;
        std::optional<std::pair<std::int64_t, std::int64_t>> range;
    };
    const Case cases[] = {
        {2, 3, 512, std::pair<std::int64_t, std::int64_t>{1024, 1536}},
        {0, i64max, 1, std::pair<std::int64_t, std::int64_t>{0, i64max}},
        {static_cast<std::uint64_t>(i64max), 0, 1, std::pair<std::int64_t, std::int64_t>{i64max, 0}},
        {static_cast<std::uint64_t>(i64max) + 1, 0, 1, std::nullopt},
        {static_cast<std::uint64_t>(i64max / 512) + 1, 0, 512, std::nullopt},
        {0, i64max / 512 + 1, 512, std::nullopt},
        {static_cast<std::uint64_t>(i64max / 512), 1, 512, std::nullopt},  // end past the last byte offset
        {1, i64max, 1, std::nullopt},
        {0, 1, 0, std::nullopt},
        {0, -1, 512, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto range = RawDiskBlockReader::byteRangeOf(c.offset, c.count, c.blockSize);
        ASSERT_EQ(range.has_value(), c.range.has_value()) << c.offset << "+" << c.count << " x" << c.blockSize;
        if (range) {
            EXPECT_EQ(range->offset, c.range->first);
            EXPECT_EQ(range->length, c.range->second);
        }
    }
}

TEST(RawDiskBlockReaderTest, NamesItselfAfterThePathUnlessGivenAnIdentity) {
    TempDir dir;
    const std::string image = dir.file("image");
    fixtures::writeFile(image, fixtures::patternBytes(1024));
    DevicePathMapping mapping({{"/dev/rdisk4", image}, {"/dev/rdisk4/", image}, {"rdisk4", image}, {"/", image}});
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/rdisk4", "rdisk4"}, {"/dev/rdisk4/", "rdisk4"}, {"rdisk4", "rdisk4"}, {"/", ""}};
    for (const auto& [path, name] : cases) {
        RawDiskBlockReader reader(path, 512, std::nullopt);
        EXPECT_EQ(reader.deviceIdentity(), (DeviceIdentity{path, std::nullopt, name})) << path;
    }
    const DeviceIdentity given{"disk9", UUID::random(), "Backup"};
    RawDiskBlockReader reader("/dev/rdisk4", 512, given);
    EXPECT_EQ(reader.deviceIdentity(), given);
}

TEST(RawDiskBlockReaderTest, OpenFailuresNameThePathAsPassed) {
    TempDir dir;
    DevicePathMapping mapping({{"/dev/rdiskGONE", dir.file("missing")}});
    EXPECT_EQ(ioErrorOf([] { RawDiskBlockReader("/dev/rdisk99", 512, std::nullopt); }),
              "POSIX error 2: open(/dev/rdisk99, O_RDONLY) failed: No such file or directory");
    EXPECT_EQ(ioErrorOf([] { RawDiskBlockReader("/dev/rdiskGONE", 512, std::nullopt); }),
              "POSIX error 2: open(/dev/rdiskGONE, O_RDONLY) failed: No such file or directory");
    EXPECT_EQ(ioErrorOf([] { RawDiskBlockReader("", 512, std::nullopt); }),
              "POSIX error 2: open(, O_RDONLY) failed: No such file or directory");
}

// Only block devices and image files hold blocks: anything else is refused as not found,
// and its descriptor closed.
TEST(RawDiskBlockReaderTest, RefusesWhatIsNeitherABlockDeviceNorAFile) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int keepOpen = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // so that opening it to read does not wait
    const std::size_t before = fixtures::openDescriptorCount();
    for (const std::string& path : {dir.path().string(), std::string("/dev/null"), fifo}) {
        EXPECT_EQ(ioErrorOf([&] { RawDiskBlockReader(path, 512, std::nullopt); }),
                  "Device or image not found at path: " + path);
    }
    EXPECT_EQ(fixtures::openDescriptorCount(), before);
    ::close(keepOpen);
}

// A refused open closes what it opened; a reader holds one descriptor until it goes.
TEST(RawDiskBlockReaderTest, HoldsOneDescriptorWhileItLivesAndNoneWhenRefused) {
    TempDir dir;
    const std::string path = dir.file("image");
    fixtures::writeFile(path, fixtures::patternBytes(4096));
    const std::size_t before = fixtures::openDescriptorCount();
    EXPECT_EQ(ioErrorOf([&] { RawDiskBlockReader(path, 0, std::nullopt); }), "Fallback block size must be > 0, got 0.");
    EXPECT_EQ(ioErrorOf([&] { RawDiskBlockReader(path, std::numeric_limits<std::int64_t>::min(), std::nullopt); }),
              "Fallback block size must be > 0, got -9223372036854775808.");
    EXPECT_EQ(fixtures::openDescriptorCount(), before);
    {
        auto reader = std::make_shared<RawDiskBlockReader>(path, 512, std::nullopt);
        runBlocking(reader->readBlocks(0, 8));
        EXPECT_EQ(fixtures::openDescriptorCount(), before + 1);
    }
    EXPECT_EQ(fixtures::openDescriptorCount(), before);
}

TEST(RawDiskBlockReaderTest, ShortReadIsReportedAndTheReaderStaysUsable) {
    TempDir dir;
    const std::string path = dir.file("image");
    const Data image = fixtures::patternBytes(8 * 512);
    fixtures::writeFile(path, image);
    RawDiskBlockReader reader(path, 512, std::nullopt);
    ASSERT_EQ(runBlocking(reader.totalBlocks()), 8u);
    std::filesystem::resize_file(path, 6 * 512 + 256);  // the file shrinks under the reader

    EXPECT_EQ(ioErrorOf([&] { runBlocking(reader.readBlocks(6, 2)); }),
              "Short read: expected 1024 bytes but pread returned 256.");
    EXPECT_EQ(ioErrorOf([&] { runBlocking(reader.readBlocks(7, 1)); }),
              "Short read: expected 512 bytes but pread returned 0.");
    EXPECT_EQ(runBlocking(reader.readBlocks(0, 2)), fixtures::slice(image, 0, 1024));
}

// One pread moves at most about 2 GiB; a larger range still comes back whole.
TEST(RawDiskBlockReaderTest, ARangeBeyondWhatOnePreadMovesIsReadWhole) {
    TempDir dir;
    const std::string path = dir.file("sparse");
    constexpr std::uint64_t kBlocks = (std::uint64_t{2} << 30) / 512 + 8;
    fixtures::writeFile(path, {});
    std::filesystem::resize_file(path, kBlocks * 512);
    const Data marker = fixtures::patternBytes(512, 7);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>((kBlocks - 1) * 512));
        file.write(reinterpret_cast<const char*>(marker.data()), 512);
    }
    RawDiskBlockReader reader(path, 512, std::nullopt);
    const Data all = runBlocking(reader.readBlocks(0, static_cast<std::int64_t>(kBlocks)));
    ASSERT_EQ(all.size(), kBlocks * 512);
    EXPECT_TRUE(std::equal(marker.begin(), marker.end(), all.end() - 512));
    EXPECT_EQ(all[(std::size_t{2} << 30) - 1], std::byte{0});
}

// ---- real block devices (root) ----

class LoopDeviceTest : public testing::TestWithParam<int> {};

// Whether this process holds `node` open with O_DIRECT, from the kernel's own record.
bool openDirectly(const std::string& node) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) != node) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key;
        std::string flags;
        while (info >> key >> flags) {
            if (key == "flags:" && (std::stoul(flags, nullptr, 8) & O_DIRECT)) return true;
        }
    }
    return false;
}

TEST_P(LoopDeviceTest, ReadsTheDeviceItselfWithDirectTransfersOfAnySize) {
    const int sectorSize = GetParam();
    const auto size = static_cast<std::size_t>(sectorSize);
    TempDir dir;
    const std::string image = dir.file("disk.img");
    Data bytes = fixtures::patternBytes(4 * 1024 * 1024 + 300);  // a partial sector at the end
    fixtures::writeFile(image, bytes);
    auto loop = LoopDevice::attach(image, sectorSize);
    if (!loop) GTEST_SKIP() << "needs root and a free loop device";
    DevicePathMapping mapping({{"/dev/rdiskTEST", loop->path()}});
    // The device reports its block size, so the fallback (even a bad one) is not used.
    RawDiskBlockReader fallbackZero("/dev/rdiskTEST", 0, std::nullopt);
    EXPECT_EQ(fallbackZero.blockSize(), sectorSize);
    RawDiskBlockReader reader("/dev/rdiskTEST", 512, std::nullopt);
    EXPECT_EQ(reader.blockSize(), sectorSize);
    EXPECT_EQ(reader.deviceIdentity(), (DeviceIdentity{"/dev/rdiskTEST", std::nullopt, "rdiskTEST"}));
    const std::uint64_t blocks = runBlocking(reader.totalBlocks());
    EXPECT_EQ(blocks, bytes.size() / size);
    EXPECT_TRUE(openDirectly(loop->path()));

    // One block (through the bounce buffer), just under and over the size from which read
    // buffers are page-aligned, a large read at an odd block, and the last blocks.
    const std::uint64_t largeBlocks = kLargeBufferBytes / size;
    for (const auto& [at, count] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {0, 1}, {3, largeBlocks - 1}, {5, largeBlocks}, {7, largeBlocks + 1}, {1, (2 << 20) / size + 1},
             {blocks - 3, 3}}) {
        EXPECT_EQ(runBlocking(reader.readBlocks(at, static_cast<std::int64_t>(count))),
                  fixtures::slice(bytes, at * size, count * size))
            << count << " blocks at " << at;
    }
    EXPECT_EQ(ioErrorOf([&] { runBlocking(reader.readBlocks(blocks, 1)); }),
              "Block range [" + std::to_string(blocks) + ", " + std::to_string(blocks + 1) +
                  ") is outside device extent of " + std::to_string(blocks) + " blocks.");

    // The bytes come from the device, not from a copy cached by an earlier read: change
    // the backing file under the device and read the same blocks again.
    for (std::size_t i = 0; i < 8 * size; ++i) bytes[i] = static_cast<std::byte>(~std::to_integer<unsigned>(bytes[i]));
    fixtures::writeFile(image, bytes);
    EXPECT_EQ(runBlocking(reader.readBlocks(0, 8)), fixtures::slice(bytes, 0, 8 * size));
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopDeviceTest, testing::Values(512, 4096));

}  // namespace
}  // namespace quarlin
