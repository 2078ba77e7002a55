#include "platform/registry/BSDNameTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/devicepaths/DevicePaths.h"

namespace quarlin::platform {
namespace {

namespace fs = std::filesystem;

fs::path fixture(const std::string& name) { return fs::path(QUARLIN_REGISTRY_FIXTURES) / name; }

std::vector<std::pair<std::string, std::string>> names(const BSDNameTable& table) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& device : table.devices()) result.emplace_back(device.bsdName, device.kernelName);
    return result;
}

using Names = std::vector<std::pair<std::string, std::string>>;

TEST(BSDNameTable, NamesEveryFixtureMachinesDevices) {
    struct Case {
        std::string fixture;
        Names expected;
    };
    const std::vector<Case> cases = {
        // The dangling sdc link (a stick pulled out) is left out.
        {"usb-stick", {{"disk0", "sdb"}, {"disk0s1", "sdb1"}}},
        {"sd-card-reader", {{"disk0", "mmcblk0"}, {"disk0s1", "mmcblk0p1"}}},
        {"nvme", {{"disk0", "nvme0n1"}, {"disk0s1", "nvme0n1p1"}, {"disk0s2", "nvme0n1p2"}}},
        {"thunderbolt-enclosure", {{"disk0", "nvme1n1"}, {"disk0s1", "nvme1n1p1"}}},
        {"sata", {{"disk0", "sda"}, {"disk0s1", "sda1"}, {"disk0s2", "sda2"}}},
        {"virtio", {{"disk0", "vda"}, {"disk0s1", "vda1"}}},
        // Physical disks come before the stacked devices on them.
        {"lvm-on-luks",
         {{"disk0", "sda"}, {"disk0s1", "sda1"}, {"disk0s2", "sda2"}, {"disk1", "dm-0"}, {"disk2", "dm-1"},
          {"disk3", "dm-2"}}},
        // Unattached loop devices and an unused zram device have size 0.
        {"loop", {{"disk0", "loop0"}, {"disk0s1", "loop0p1"}}},
    };
    for (const auto& c : cases) {
        auto table = BSDNameTable::build(fixture(c.fixture));
        ASSERT_TRUE(table) << c.fixture;
        EXPECT_EQ(names(*table), c.expected) << c.fixture;
    }
}

TEST(BSDNameTable, RecordsGeometryAndKind) {
    auto table = BSDNameTable::build(fixture("lvm-on-luks"));
    ASSERT_TRUE(table);
    const BlockDevice* partition = table->byBSDName("disk0s2");
    ASSERT_NE(partition, nullptr);
    EXPECT_FALSE(partition->isWhole);
    EXPECT_EQ(partition->partitionNumber, 2u);
    EXPECT_EQ(partition->wholeDiskKernelName, "sda");
    EXPECT_EQ(partition->sizeBytes, 999164559ull * 512);
    EXPECT_EQ(partition->major, 8u);
    EXPECT_EQ(partition->minor, 2u);
    EXPECT_FALSE(partition->isVirtual);
    const BlockDevice* mapper = table->byDeviceNumber(253, 1);
    ASSERT_NE(mapper, nullptr);
    EXPECT_EQ(mapper->bsdName, "disk2");
    EXPECT_TRUE(mapper->isVirtual);
}

TEST(BSDNameTable, MissingSysfsGivesNoTable) {
    EXPECT_FALSE(BSDNameTable::build("/nonexistent/sysfs"));
    EXPECT_FALSE(BSDNameTable::build("/proc/self"));
}

TEST(BSDNameTable, KernelNamesSortInProbeOrder) {
    const std::vector<std::pair<std::string, std::string>> ordered = {
        {"sda", "sdb"},       {"sdz", "sdaa"},       {"loop2", "loop10"},
        {"nvme0n1", "nvme0n10"}, {"nvme1n1", "nvme10n1"}, {"vda", "vdb"},
    };
    for (const auto& [first, second] : ordered) {
        EXPECT_TRUE(kernelNameBefore(first, second)) << first << " < " << second;
        EXPECT_FALSE(kernelNameBefore(second, first)) << second << " !< " << first;
    }
    EXPECT_FALSE(kernelNameBefore("sda", "sda"));
}

TEST(BSDNameTable, MapsSystemDiskPathsToNodes) {
    const fs::path root = fixture("lvm-on-luks");
    const std::string missing = "/dev/.quarlin-no-such-disk/";
    struct Case {
        std::string path;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"/dev/rdisk0", "/dev/sda"},
        {"/dev/disk0", "/dev/sda"},
        {"/dev/rdisk0s2", "/dev/sda2"},
        {"/dev/rdisk2", "/dev/dm-1"},
        // Disk names that name nothing here, and raw nodes that are not disks, must not open.
        {"/dev/rdisk9", missing + "rdisk9"},
        {"/dev/rdisk0s7", missing + "rdisk0s7"},
        {"/dev/random", missing + "random"},
        // Linux paths open as given.
        {"/dev/sda", std::nullopt},
        {"/tmp/image.dmg", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mapBSDDevicePath(c.path, root, "/dev"), c.expected) << c.path;
}

TEST(BSDNameTable, InstalledMapperServesDevicePathToOpen) {
    installBSDNameMapper(fixture("nvme"), "/devroot");
    EXPECT_EQ(devicePathToOpen("/dev/rdisk0s1"), "/devroot/nvme0n1p1");
    EXPECT_EQ(devicePathToOpen("/home/user/disk.img"), "/home/user/disk.img");
    setDevicePathMapper({});
    EXPECT_EQ(devicePathToOpen("/dev/rdisk0s1"), "/dev/rdisk0s1");
}

}  // namespace
}  // namespace quarlin::platform
