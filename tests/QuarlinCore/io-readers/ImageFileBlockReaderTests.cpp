#include "QuarlinCore/io/ImageFileBlockReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "QuarlinCore/io/IOError.h"
#include "TestFiles.h"
#include "runtime/Runtime.h"

namespace quarlin {
namespace {

using testing::patternBytes;
constexpr auto kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr auto kMaxI64 = std::numeric_limits<std::int64_t>::max();

class ImageFileBlockReaderTest : public testing::ScratchDirectory {};

// The error a read raises, or nothing when it succeeds.
std::optional<IOError> readError(ImageFileBlockReader& reader, std::uint64_t at, std::int64_t count) {
    try {
        runtime::runBlocking(reader.readBlocks(at, count));
    } catch (const IOError& error) {
        return error;
    }
    return std::nullopt;
}

template <class F>
std::optional<IOError> constructionError(F make) {
    try {
        make();
    } catch (const IOError& error) {
        return error;
    }
    return std::nullopt;
}

TEST_F(ImageFileBlockReaderTest, ConstructionFailuresComeInTheirOrder) {
    const std::string image = writePatternFile("image.img", 10000);
    const std::string missing = pathFor("missing.img");
    const std::string fifo = pathFor("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink(missing, pathFor("dangling"));

    struct Case {
        std::string path;
        std::int64_t blockSize;
        std::string message;
    };
    const Case cases[] = {
        {missing, 512, "Device or image not found at path: " + missing},
        // The existence check comes before the block-size check.
        {missing, 0, "Device or image not found at path: " + missing},
        {pathFor("dangling"), 512, "Device or image not found at path: " + pathFor("dangling")},
        {directory_.string(), 512, "Device or image not found at path: " + directory_.string()},
        {image, 0, "blockSize must be > 0."},
        {image, -4096, "blockSize must be > 0."},
        {image, std::numeric_limits<std::int64_t>::min(), "blockSize must be > 0."},
        // A FIFO must neither block the open nor pass as an image of zero blocks.
        {fifo, 512, "Could not determine file size for " + fifo + ": Illegal seek"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " / " + std::to_string(c.blockSize));
        const auto error = constructionError([&] { ImageFileBlockReader(c.path, c.blockSize); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->errorDescription(), c.message);
    }
}

TEST_F(ImageFileBlockReaderTest, IdentityIsTheCallersOrDerivedFromThePath) {
    std::filesystem::create_directories(directory_ / "images");
    const std::string path = writePatternFile("images/disk3.img", 4096);

    ImageFileBlockReader derived(path, 512);
    EXPECT_EQ(derived.deviceIdentity().physicalDeviceID, path);
    EXPECT_FALSE(derived.deviceIdentity().volumeUUID.has_value());
    EXPECT_EQ(derived.deviceIdentity().displayName, "disk3.img");
    EXPECT_EQ(derived.blockSize(), 512);

    // The path is kept exactly as passed, not normalised.
    const std::string roundabout = directory_.string() + "/images/../images//disk3.img";
    EXPECT_EQ(ImageFileBlockReader(roundabout, 512).deviceIdentity().physicalDeviceID, roundabout);

    const DeviceIdentity given{"image-7", UUID::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"), "Backup"};
    ImageFileBlockReader explicitIdentity(path, 4096, given);
    EXPECT_EQ(explicitIdentity.deviceIdentity(), given);
}

// 10,000 bytes in blocks of 4096: two whole blocks, the last 1,808 bytes unreachable.
TEST_F(ImageFileBlockReaderTest, ReadsOnlyWholeBlocksWithinTheFile) {
    const std::string path = writePatternFile("image.img", 10000);
    ImageFileBlockReader reader(path, 4096);

    struct Case {
        std::uint64_t at;
        std::int64_t count;
        std::optional<std::string> error;  // absent: the read succeeds
    };
    const Case cases[] = {
        {0, 2, std::nullopt},
        {1, 1, std::nullopt},
        {0, 1, std::nullopt},
        {2, 0, std::nullopt},
        {kMaxU64, 0, std::nullopt},
        {2, 1, "Block range [2, 3) is outside device extent of 2 blocks."},
        {0, 3, "Block range [0, 3) is outside device extent of 2 blocks."},
        {1, 2, "Block range [1, 3) is outside device extent of 2 blocks."},
        {kMaxU64, 1, "Block range [18446744073709551615, 18446744073709551616) is outside device extent of 2 blocks."},
        // End blocks that do not fit in 64 bits are refused without reading.
        {1, kMaxI64, "Block range [1, 9223372036854775808) is outside device extent of 2 blocks."},
        {kMaxU64, kMaxI64,
         "Block range [18446744073709551615, 27670116110564327422) is outside device extent of 2 blocks."},
        // A negative count is refused before any bounds check.
        {0, -1, "count must be >= 0."},
        {kMaxU64, std::numeric_limits<std::int64_t>::min(), "count must be >= 0."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.at) + " + " + std::to_string(c.count));
        if (c.error) {
            const auto error = readError(reader, c.at, c.count);
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->errorDescription(), *c.error);
        } else {
            const Data bytes = runtime::runBlocking(reader.readBlocks(c.at, c.count));
            EXPECT_EQ(bytes, patternBytes(c.count == 0 ? 0 : c.at * 4096, static_cast<std::size_t>(c.count) * 4096));
        }
    }

    const auto outOfBounds = readError(reader, 2, 1);
    ASSERT_TRUE(outOfBounds.has_value());
    const auto* payload = std::get_if<IOError::OutOfBounds>(&outOfBounds->value());
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->offset, 2u);
    EXPECT_EQ(payload->count, 1);
    EXPECT_EQ(payload->deviceBlockCount, 2u);
}

TEST_F(ImageFileBlockReaderTest, FilesWithoutAWholeBlockHaveNoBlocks) {
    struct Case {
        std::size_t fileSize;
        std::int64_t blockSize;
    };
    const Case cases[] = {{0, 512}, {511, 512}, {100, 4096}, {4095, 4096}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.fileSize) + " bytes in blocks of " + std::to_string(c.blockSize));
        ImageFileBlockReader reader(writePatternFile("small.img", c.fileSize), c.blockSize);
        EXPECT_TRUE(runtime::runBlocking(reader.readBlocks(0, 0)).empty());
        EXPECT_TRUE(runtime::runBlocking(reader.readBlocks(7, 0)).empty());
        const auto error = readError(reader, 0, 1);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->errorDescription(), "Block range [0, 1) is outside device extent of 0 blocks.");
    }
}

TEST_F(ImageFileBlockReaderTest, BlockSizeOfOneByteAddressesEveryByte) {
    ImageFileBlockReader reader(writePatternFile("bytes.img", 777), 1);
    EXPECT_EQ(runtime::runBlocking(reader.readBlocks(0, 777)), patternBytes(0, 777));
    EXPECT_EQ(runtime::runBlocking(reader.readBlocks(776, 1)), patternBytes(776, 1));
    EXPECT_TRUE(readError(reader, 777, 1).has_value());
}

// The size is measured once: a file cut short afterwards gives short reads that name both
// byte counts, the block and the path, and the reader stays usable.
TEST_F(ImageFileBlockReaderTest, FileThatShrinksAfterConstructionGivesShortReads) {
    const std::string path = writePatternFile("shrinking.img", 16384);
    ImageFileBlockReader reader(path, 4096);
    ASSERT_EQ(::truncate(path.c_str(), 10000), 0);

    struct Case {
        std::uint64_t at;
        std::int64_t count;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {2, 2, "Short read: expected 8192 bytes but got 1808 at block 2 in " + path + "."},
        {3, 1, "Short read: expected 4096 bytes but got 0 at block 3 in " + path + "."},
        {0, 4, "Short read: expected 16384 bytes but got 10000 at block 0 in " + path + "."},
        {0, 2, std::nullopt},
        // Bounds still follow the size measured at construction.
        {4, 1, "Block range [4, 5) is outside device extent of 4 blocks."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.at) + " + " + std::to_string(c.count));
        const auto error = readError(reader, c.at, c.count);
        if (c.error) {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->errorDescription(), *c.error);
        } else {
            EXPECT_FALSE(error.has_value());
        }
    }
    const auto shortRead = readError(reader, 2, 2);
    ASSERT_TRUE(shortRead.has_value());
    EXPECT_TRUE(std::holds_alternative<IOError::General>(shortRead->value()));
}

// A sparse image larger than the machine's memory: a read of all of it is refused as an
// error, while reads of its ordinary parts work.
TEST_F(ImageFileBlockReaderTest, ReadLargerThanMemoryIsRefusedNotFatal) {
    const std::string path = pathFor("sparse.img");
    const std::uint64_t memory = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGE_SIZE);
    const std::uint64_t blocks = memory / (1 << 20) + 1024;
    ASSERT_EQ(::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(blocks << 20)), 0);
    ImageFileBlockReader reader(path, 1 << 20);
    const auto count = static_cast<std::int64_t>(blocks);
    const auto error = readError(reader, 0, count);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->errorDescription(), "Cannot allocate " + std::to_string(count << 20) + " bytes for a read of " +
                                             std::to_string(count) + " blocks.");
    EXPECT_EQ(runtime::runBlocking(reader.readBlocks(blocks - 1, 1)), Data(1 << 20, std::byte{0}));
}

// Many tasks share one reader; every task gets exactly its own blocks back.
TEST_F(ImageFileBlockReaderTest, SharedReaderServesConcurrentTasks) {
    constexpr int kTasks = 16;
    constexpr std::int64_t kBlock = 512;
    ImageFileBlockReader reader(writePatternFile("shared.img", kTasks * 8 * kBlock), kBlock);
    std::vector<std::future<Data>> reads;
    for (int task = 0; task < kTasks; ++task) {
        reads.push_back(asio::co_spawn(runtime::sharedPool(), reader.readBlocks(task * 8, 8), asio::use_future));
    }
    for (int task = 0; task < kTasks; ++task) {
        EXPECT_EQ(reads[task].get(), patternBytes(task * 8 * kBlock, 8 * kBlock)) << "task " << task;
    }
}

}  // namespace
}  // namespace quarlin
