#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "DiskAccess/RawDiskBlockReader.h"
#include "LoopDevice.h"
#include "../../support/Eventually.h"
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

// A disk keeps its name while others come and go, and a name never moves to another disk:
// a device attached again, even at the same loop node, is a new disk with a new name.
TEST(RawDiskNames, ANameStaysWithItsDiskAndIsNeverGivenToAnother) {
    testing::LoopDevice disk;
    if (!disk.attached()) GTEST_SKIP() << "needs root and loop devices";
    InstalledMapper mapper;
    const std::string image = (std::filesystem::temp_directory_path() / ("quarlin-names-" + std::to_string(::getpid()))).string();
    ASSERT_TRUE(testing::runCommand("truncate -s 3M " + image));
    auto attach = [&] {
        auto node = testing::runCommand("losetup --find --show " + image);
        EXPECT_TRUE(node);
        std::string text = node.value_or("");
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    };
    auto nameOf = [](const std::string& node) {
        const auto table = platform::BSDNameTable::build();
        EXPECT_TRUE(table) << table.error();
        const auto* device = table ? table->byKernelName(std::filesystem::path(node).filename().string()) : nullptr;
        return device ? device->bsdName : std::string("(none)");
    };
    const std::string kept = nameOf(disk.node());
    const std::string first = attach();
    const std::string firstName = nameOf(first);
    EXPECT_EQ(nameOf(disk.node()), kept);
    testing::runCommand("losetup -d " + first);
    // A detach waits for the device's last close, and other programs (a listing that
    // probes it) may hold it open for a moment.
    EXPECT_TRUE(testsupport::eventually([&] { return nameOf(first) != firstName; }));
    EXPECT_EQ(nameOf(disk.node()), kept);
    const std::string again = attach();
    const std::string againName = nameOf(again);
    EXPECT_NE(againName, firstName);
    EXPECT_NE(againName, kept);
    try {
        RawDiskBlockReader reader("/dev/r" + firstName, 512, std::nullopt);
        ADD_FAILURE() << "the old name opened " << again;
    } catch (const IOError& error) {
        EXPECT_NE(std::get_if<IOError::PosixError>(&error.value()), nullptr) << error.what();
    }
    testing::runCommand("losetup -d " + again);
    std::filesystem::remove(image);
}

// A device whose attributes cannot be read fails the whole table with the reason, and an
// open by name fails with it too, rather than leave a disk out or shift a name.
TEST(RawDiskNames, ATableThatCannotBeReadFailsWithTheReason) {
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("quarlin-sysfs-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "class" / "block" / "vda" / "size");  // unreadable as a file
    const auto table = platform::BSDNameTable::build(root);
    ASSERT_FALSE(table);
    const std::string reason = "cannot read " + (root / "class" / "block" / "vda" / "size").string() + ": Is a directory";
    EXPECT_EQ(table.error(), reason);
    try {
        platform::mapBSDDevicePath("/dev/rdisk1", root, "/dev");
        ADD_FAILURE() << "mapped";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "the machine's disk table could not be read: " + reason);
    }
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace quarlin
