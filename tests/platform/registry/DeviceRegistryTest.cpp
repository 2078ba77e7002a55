#include "platform/registry/DeviceRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quarlin::platform {
namespace {

namespace fs = std::filesystem;

fs::path fixture(const std::string& name) { return fs::path(QUARLIN_REGISTRY_FIXTURES) / name; }

TEST(DeviceRegistry, StackedDevicesHaveTheirMediaAsParents) {
    DeviceRegistry registry(fixture("lvm-on-luks"));
    auto root = registry.matchingService(bsdNameMatching("disk2"));
    ASSERT_TRUE(root);
    auto parents = registry.parents(root, kIOServicePlane);
    ASSERT_TRUE(parents);
    ASSERT_EQ(parents->size(), 1u);
    EXPECT_TRUE(registry.conformsTo(*parents->front(), kIOMediaClass));
    auto name = registry.property(*parents->front(), "BSD Name");
    ASSERT_TRUE(name);
    EXPECT_EQ(std::get<std::string>(*name), "disk1");
    // Another plane has no parents at all.
    EXPECT_FALSE(registry.parents(root, "IODeviceTree"));
}

TEST(DeviceRegistry, MediaPropertiesComeFromSysfs) {
    DeviceRegistry registry(fixture("usb-stick"), "/devroot");
    auto disk = registry.matchingService(bsdNameMatching("disk0"));
    auto partition = registry.matchingService(bsdNameMatching("disk0s1"));
    ASSERT_TRUE(disk && partition);
    auto whole = registry.properties(*disk);
    ASSERT_TRUE(whole);
    EXPECT_EQ(std::get<std::string>(whole->at("BSD Name")), "disk0");
    EXPECT_EQ(std::get<bool>(whole->at("Whole")), true);
    EXPECT_EQ(std::get<bool>(whole->at("Removable")), true);
    EXPECT_EQ(std::get<std::uint64_t>(whole->at("Size")), 30031872ull * 512);
    EXPECT_EQ(std::get<std::uint64_t>(whole->at("Preferred Block Size")), 512u);
    EXPECT_EQ(std::get<bool>(whole->at("Writable")), true);
    EXPECT_EQ(std::get<std::string>(whole->at("Linux Device Node")), "/devroot/sdb");
    EXPECT_EQ(std::get<std::string>(whole->at("Linux Device Number")), "8:16");

    auto part = registry.properties(*partition);
    ASSERT_TRUE(part);
    EXPECT_EQ(std::get<bool>(part->at("Whole")), false);
    EXPECT_EQ(std::get<bool>(part->at("Removable")), true) << "a partition is as removable as its disk";
    EXPECT_EQ(std::get<std::uint64_t>(part->at("Partition Number")), 1u);
}

TEST(DeviceRegistry, PartitionUUIDsComeFromTheDeviceDirectory) {
    const fs::path root = fixture("lvm-on-luks");
    DeviceRegistry registry(root, root / "dev");
    auto partition = registry.matchingService(bsdNameMatching("disk0s2"));
    ASSERT_TRUE(partition);
    auto properties = registry.properties(*partition);
    ASSERT_TRUE(properties);
    EXPECT_EQ(std::get<std::string>(properties->at("Partition UUID")), "2b0c5f3a-02");
}

TEST(DeviceRegistry, MatchingOnlyFindsMedia) {
    DeviceRegistry registry(fixture("sata"));
    auto media = registry.matchingServices(serviceMatching(kIOMediaClass));
    ASSERT_TRUE(media);
    EXPECT_EQ(media->size(), 3u);
    auto other = registry.matchingServices(serviceMatching("IOBlockStorageDevice"));
    ASSERT_TRUE(other);
    EXPECT_TRUE(other->empty());
    for (std::string name : {"disk9", "disk", "sda", "", "disk0s"})
        EXPECT_FALSE(registry.matchingService(bsdNameMatching(name))) << name;
    EXPECT_FALSE(DeviceRegistry("/nonexistent").matchingServices(serviceMatching(kIOMediaClass)));
}

// A copy of a fixture that a test may change.
class ScratchTree {
public:
    explicit ScratchTree(const std::string& name) {
        path_ = fs::temp_directory_path() / ("quarlin-registry-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(path_);
        fs::copy(fixture(name), path_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    ~ScratchTree() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

TEST(DeviceRegistry, DeviceThatVanishesAfterMatchingAnswersNothing) {
    ScratchTree tree("usb-stick");
    DeviceRegistry registry(tree.path());
    auto disk = registry.matchingService(bsdNameMatching("disk0"));
    auto partition = registry.matchingService(bsdNameMatching("disk0s1"));
    ASSERT_TRUE(disk && partition);
    auto parent = registry.parentEntry(disk, kIOServicePlane);
    ASSERT_TRUE(parent);

    // The stick is pulled out: its whole device subtree goes.
    fs::remove_all(tree.path() / "devices/pci0000:00/0000:00:14.0/usb2/2-1");
    EXPECT_FALSE(registry.properties(*disk));
    EXPECT_FALSE(registry.properties(*partition));
    EXPECT_FALSE(registry.property(*disk, "BSD Name"));
    EXPECT_FALSE(registry.parents(disk, kIOServicePlane));
    EXPECT_FALSE(registry.properties(*parent));
    EXPECT_FALSE(registry.parentEntry(parent, kIOServicePlane));
    // And a fresh look finds nothing.
    auto media = registry.matchingServices(serviceMatching(kIOMediaClass));
    ASSERT_TRUE(media);
    EXPECT_TRUE(media->empty());
}

}  // namespace
}  // namespace quarlin::platform
