#include "DiskAccess/DiskArbitrationService.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <set>
#include <string>
#include <vector>

#include "LoopDevice.h"
#include "platform/diskarb/MountTable.h"

namespace quarlin {
namespace {

namespace fs = std::filesystem;
using testing::fixture;
using testing::fixtureRoots;
using runtime::runBlocking;

// A record without its id, which is new on every enumeration.
DiskInfo withoutID(DiskInfo info) {
    info.id = UUID();
    return info;
}

DiskInfo record(std::string bsdName, std::optional<std::string> mountPoint, bool whole, bool internal,
                bool removable, std::optional<std::string> connection, std::uint64_t sectors, bool isVirtual = false) {
    return DiskInfo{UUID(), std::move(bsdName), "", std::move(mountPoint), whole, internal, removable,
                    std::move(connection), sectors * 512, isVirtual};
}

DiskInfo withKind(DiskInfo info, std::string kind) {
    info.filesystemType = std::move(kind);
    return info;
}

std::vector<DiskInfo> enumerate(const platform::DiskStackRoots& roots) {
    DiskArbitrationService service(roots);
    std::vector<DiskInfo> disks;
    for (auto& disk : runBlocking(service.enumerateDisks())) disks.push_back(withoutID(disk));
    return disks;
}

TEST(DiskEnumeration, ListsEveryFixtureMachine) {
    using std::nullopt;
    struct Case {
        std::string fixture;
        std::vector<DiskInfo> expected;
    };
    const std::vector<Case> cases = {
        {"usb-stick",
         {record("disk0", nullopt, true, false, true, "USB", 30031872),
          record("disk0s1", "/media/user/STICK", false, false, true, "USB", 30029824)}},
        // mmc cards report removable 0; the bus decides that they are external.
        {"sd-card-reader",
         {record("disk0", nullopt, true, false, false, "SD", 124735488),
          record("disk0s1", "/media/user/CARD", false, false, false, "SD", 124733440)}},
        {"nvme",
         {record("disk0", nullopt, true, true, false, "NVMe", 1953525168),
          // File-system kinds as udev recorded them.
          withKind(record("disk0s1", "/boot/efi", false, true, false, "NVMe", 1048576), "vfat"),
          withKind(record("disk0s2", "/", false, true, false, "NVMe", 1952474112), "ext4")}},
        {"thunderbolt-enclosure",
         {record("disk0", nullopt, true, false, false, "Thunderbolt", 1953525168),
          record("disk0s1", nullopt, false, false, false, "Thunderbolt", 1953523712)}},
        // The bind mount of /srv does not hide the root mount of the same file system.
        {"sata",
         {record("disk0", nullopt, true, true, false, "PCIe", 1953525168),
          record("disk0s1", "/boot/efi", false, true, false, "PCIe", 1048576),
          record("disk0s2", "/", false, true, false, "PCIe", 1952474112)}},
        {"virtio",
         {record("disk0", nullopt, true, true, false, "PCIe", 536870912),
          record("disk0s1", "/", false, true, false, "PCIe", 536868864)}},
        // The logical volumes reach the PCI controller at exactly the eighth ancestor.
        {"lvm-on-luks",
         {record("disk0", nullopt, true, true, false, "PCIe", 1000215216),
          withKind(record("disk1", nullopt, true, true, false, "PCIe", 999131791), "LVM2_member"),
          withKind(record("disk2", "/", true, true, false, "PCIe", 960000000), "ext4"),
          record("disk3", nullopt, true, true, false, "PCIe", 39124992),
          record("disk0s1", "/boot/efi", false, true, false, "PCIe", 1048576),
          withKind(record("disk0s2", nullopt, false, true, false, "PCIe", 999164559), "crypto_LUKS")}},
        {"loop",
         {record("disk0", nullopt, true, true, false, nullopt, 2097152, true),
          record("disk0s1", "/mnt/image", false, true, false, nullopt, 2095104, true)}},
    };
    for (const auto& c : cases) EXPECT_EQ(enumerate(fixtureRoots(c.fixture)), c.expected) << c.fixture;
}

TEST(DiskEnumeration, WithoutSessionOrSysfsTheListIsEmpty) {
    DiskArbitrationService service(platform::DiskStackRoots{"/nonexistent", "/nonexistent", "/nonexistent"});
    EXPECT_FALSE(service.hasSession());
    EXPECT_TRUE(runBlocking(service.enumerateDisks()).empty());
    EXPECT_TRUE(runBlocking(service.ioKitProperties("disk0")).empty());
}

TEST(DiskEnumeration, UnreadableMountTableLeavesRecordsUnmounted) {
    auto roots = fixtureRoots("nvme");
    roots.mountTable = "/nonexistent/mountinfo";
    for (const auto& disk : enumerate(roots)) EXPECT_FALSE(disk.mountPoint) << disk.bsdName;
}

// Probed from the node where udev recorded nothing, and probed again once the file system
// changes between two listings (a probe is kept only while the device stays as it was).
TEST(DiskEnumeration, FileSystemKindComesFromTheDeviceNodeAndFollowsItsChanges) {
    fs::path devices = fs::temp_directory_path() / ("quarlin-devices-" + std::to_string(::getpid()));
    fs::create_directories(devices);
    const std::string node = (devices / "vda1").string();
    auto roots = fixtureRoots("virtio");
    roots.deviceDirectory = devices;
    const std::pair<std::string, std::string> steps[] = {
        {"truncate -s 4M " + node + " && mkfs.ext4 -q -F " + node, "ext4"},
        {"true", "ext4"},
        {"mkfs.ext2 -q -F " + node, "ext2"},
        {"wipefs -q -a " + node, ""},
    };
    for (const auto& [command, kind] : steps) {
        ASSERT_TRUE(testing::runCommand(command)) << command;
        auto disks = enumerate(roots);
        ASSERT_EQ(disks.size(), 2u);
        EXPECT_EQ(disks[0].filesystemType, "");
        EXPECT_EQ(disks[1].filesystemType, kind) << command;
    }
    fs::remove_all(devices);
}

TEST(DiskEnumeration, TwoEnumerationsAgreeButForTheirIDs) {
    DiskArbitrationService service(fixtureRoots("lvm-on-luks"));
    auto first = runBlocking(service.enumerateDisks());
    auto second = runBlocking(service.enumerateDisks());
    ASSERT_EQ(first.size(), second.size());
    std::set<UUID> ids;
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(withoutID(first[i]), withoutID(second[i]));
        ids.insert(first[i].id);
        ids.insert(second[i].id);
    }
    EXPECT_EQ(ids.size(), 2 * first.size());
}

TEST(DiskEnumeration, PropertiesOfOneBSDName) {
    DiskArbitrationService service(fixtureRoots("sata"));
    auto properties = runBlocking(service.ioKitProperties("disk0s2"));
    ASSERT_FALSE(properties.empty());
    EXPECT_EQ(std::get<std::string>(properties.at("BSD Name")), "disk0s2");
    EXPECT_EQ(std::get<bool>(properties.at("Whole")), false);
    for (std::string name : {"disk7", "sda", "/dev/disk0", "", "disk0s9"})
        EXPECT_TRUE(runBlocking(service.ioKitProperties(name)).empty()) << name;
}

TEST(DiskEnumeration, SortsWholeDisksFirstThenByName) {
    auto disk = [](std::string name, bool whole) {
        DiskInfo info;
        info.bsdName = std::move(name);
        info.isWholeDisk = whole;
        info.id = UUID::random();
        return info;
    };
    std::vector<DiskInfo> disks = {disk("disk0s1", false), disk("disk2", true), disk("disk10", true),
                                   disk("disk1s2", false), disk("disk1s10", false)};
    UUID firstTwin = UUID::random();
    disks.push_back(disk("disk3", true));
    disks.back().id = firstTwin;
    disks.push_back(disk("disk3", true));
    diskenumeration::sortForListing(disks);
    std::vector<std::string> names;
    for (const auto& d : disks) names.push_back(d.bsdName);
    EXPECT_EQ(names, (std::vector<std::string>{"disk10", "disk2", "disk3", "disk3", "disk0s1", "disk1s10", "disk1s2"}));
    EXPECT_EQ(disks[2].id, firstTwin) << "equal records keep their order";
}

TEST(DiskEnumeration, MountPointPaths) {
    EXPECT_EQ(diskenumeration::mountPointPath("/"), "/");
    EXPECT_EQ(diskenumeration::mountPointPath("/Volumes/X/"), "/Volumes/X");
    EXPECT_EQ(diskenumeration::mountPointPath("/media/a b"), "/media/a b");
}

}  // namespace
}  // namespace quarlin

namespace quarlin::platform {
namespace {

// Escaped spaces and backslashes, optional fields before the separator, and lines that are no
// mount (passed over), as the kernel's mountinfo may hold them.
TEST(MountTable, ReadsTheKernelsEscapesAndOptionalFields) {
    const fs::path file = fs::temp_directory_path() / ("quarlin-mountinfo-" + std::to_string(::getpid()));
    {
        std::ofstream out(file);
        out << "36 35 98:0 /mnt1 /mnt/a\\040b rw,noatime master:1 shared:2 - ext3 /dev/root rw\n"
               "not a mount\n\n37 35 8:17 / /data rw - fuse.sshfs user@host:/x\\134y rw\n38 35 8:x / /y rw - a b c";
    }
    const auto entries = readMountTable(file);
    fs::remove(file);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2U);
    const auto& a = (*entries)[0];
    EXPECT_EQ(std::tie(a.source, a.target, a.root, a.fileSystemType, a.major, a.minor),
              std::make_tuple("/dev/root", "/mnt/a b", "/mnt1", "ext3", 98U, 0U));
    EXPECT_EQ((*entries)[1].source, "user@host:/x\\y");
    EXPECT_FALSE(readMountTable("/nonexistent/mountinfo"));
}

}  // namespace
}  // namespace quarlin::platform
