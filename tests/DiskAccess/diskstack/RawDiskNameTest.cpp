#include <gtest/gtest.h>

#include <cerrno>

#include "DiskAccess/RawDiskBlockReader.h"
#include "LoopDevice.h"
#include "QuarlinCore/io/IOError.h"
#include "platform/devicepaths/DevicePaths.h"
#include "platform/registry/BSDNameTable.h"

namespace quarlin {
namespace {

using runtime::runBlocking;

// Restores opening paths as given when the test ends.
struct InstalledMapper {
    InstalledMapper() { platform::installBSDNameMapper(); }
    ~InstalledMapper() { platform::setDevicePathMapper({}); }
};

TEST(RawDiskNames, RawDiskNameOpensTheLoopDeviceReadOnly) {
    testing::LoopDevice loop;
    if (!loop.attached()) GTEST_SKIP() << "needs root and loop devices";
    InstalledMapper mapper;
    auto [name, reader] = loop.withStableName([](const std::string& n) {
        return std::make_shared<RawDiskBlockReader>("/dev/r" + n, 512, std::nullopt);
    });
    EXPECT_EQ(runBlocking(reader->totalBlocks()), loop.sizeBytes() / 512);
    // The ext4 superblock starts at byte 1024; its magic 0xEF53 sits 0x38 bytes in.
    Data superblock = runBlocking(reader->readBlocks(2, 1));
    ASSERT_EQ(superblock.size(), 512u);
    EXPECT_EQ(superblock[0x38], std::byte{0x53});
    EXPECT_EQ(superblock[0x39], std::byte{0xEF});
}

TEST(RawDiskNames, NamesThatAreNoDiskHereDoNotOpen) {
    InstalledMapper mapper;
    for (std::string path : {"/dev/rdisk999", "/dev/rdisk0s99", "/dev/random", "/dev/rtc0", "/dev/rdisk"}) {
        try {
            RawDiskBlockReader reader(path, 512, std::nullopt);
            ADD_FAILURE() << path << " opened";
        } catch (const IOError& error) {
            // The name leads to a node that does not exist, whatever exists under /dev.
            const auto* posix = std::get_if<IOError::PosixError>(&error.value());
            ASSERT_NE(posix, nullptr) << path << ": " << error.what();
            EXPECT_EQ(posix->errnoValue, ENOENT) << path;
        }
    }
}

}  // namespace
}  // namespace quarlin
