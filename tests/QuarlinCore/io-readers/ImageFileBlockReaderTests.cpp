#include "QuarlinCore/io/ImageFileBlockReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "../../support/DiskImageFixtures.h"
#include "QuarlinCore/io/IOError.h"
#include "runtime/Runtime.h"

namespace quarlin {
namespace {


class ImageFileBlockReaderTest : public fixtures::PatternFileTest {};

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
        {dir_.path().string(), 512, "Device or image not found at path: " + dir_.path().string()},
        {image, 0, "blockSize must be > 0."},
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
    std::filesystem::create_directories(dir_.path() / "images");
    const std::string path = writePatternFile("images/disk3.img", 4096);

    ImageFileBlockReader derived(path, 512);
    EXPECT_EQ(derived.deviceIdentity().physicalDeviceID, path);
    EXPECT_FALSE(derived.deviceIdentity().volumeUUID.has_value());
    EXPECT_EQ(derived.deviceIdentity().displayName, "disk3.img");
    EXPECT_EQ(derived.blockSize(), 512);

    // The path is kept exactly as passed, not normalised.
    const std::string roundabout = dir_.path().string() + "/images/../images//disk3.img";
    EXPECT_EQ(ImageFileBlockReader(roundabout, 512).deviceIdentity().physicalDeviceID, roundabout);

    const DeviceIdentity given{"image-7", UUID::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"), "Backup"};
    ImageFileBlockReader explicitIdentity(path, 4096, given);
    EXPECT_EQ(explicitIdentity.deviceIdentity(), given);
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

}  // namespace
}  // namespace quarlin
