#include "DiskAccess/PhysicalDeviceResolver.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "LoopDevice.h"

namespace quarlin {
namespace {

namespace fs = std::filesystem;
using testing::fixture;

// A scratch directory and a mount table that says it is mounted from `source`.
class MountedScratch {
public:
    MountedScratch() {
        path_ = fs::temp_directory_path() / ("quarlin-resolver-" + std::to_string(::getpid()) + "-" +
                                             std::to_string(counter_++));
        fs::create_directories(path_ / "volume" / "inner");
    }
    ~MountedScratch() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    fs::path volume() const { return path_ / "volume"; }

    fs::path mountTable(const std::string& source, const std::string& type = "ext4") const {
        struct stat status {};
        ::stat(volume().c_str(), &status);
        fs::path table = path_ / "mountinfo";
        std::ofstream out(table);
        out << "22 1 0:21 / /proc rw,relatime - proc proc rw\n"
            << "90 1 " << ::major(status.st_dev) << ":" << ::minor(status.st_dev) << " / " << volume().string()
            << " rw,relatime - " << type << " " << source << " rw\n";
        return table;
    }
    const fs::path& path() const { return path_; }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

TEST(PhysicalDeviceResolver, TracesMountSourcesToTheirPhysicalDisk) {
    struct Case {
        std::string fixture;
        std::string source;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"sata", "/dev/sda2", "disk0"},
        {"nvme", "/dev/nvme0n1p2", "disk0"},
        {"virtio", "/dev/vda1", "disk0"},
        // LV (disk2) on the LUKS mapping (disk1) on partition disk0s2: two hops down.
        {"lvm-on-luks", "/dev/mapper/vg-root", "disk0"},
        {"lvm-on-luks", "/dev/dm-0", "disk0"},
        {"loop", "/dev/loop0p1", "disk0"},
        // Not backed by a disk, or by nothing this registry knows.
        {"sata", "tmpfs", std::nullopt},
        {"sata", "server:/export", std::nullopt},
        {"sata", "/dev/sdq1", std::nullopt},
    };
    for (const auto& c : cases) {
        MountedScratch scratch;
        platform::DiskStackRoots roots{fixture(c.fixture), scratch.mountTable(c.source), fixture(c.fixture) / "dev"};
        EXPECT_EQ(PhysicalDeviceResolver::physicalDeviceID((scratch.volume() / "inner").string(), roots), c.expected)
            << c.fixture << " " << c.source;
    }
}

TEST(PhysicalDeviceResolver, PathsThatLeadNowhereGiveNothing) {
    MountedScratch scratch;
    platform::DiskStackRoots roots{fixture("sata"), scratch.mountTable("/dev/sda2"), fixture("sata") / "dev"};
    EXPECT_FALSE(PhysicalDeviceResolver::physicalDeviceID((scratch.volume() / "missing").string(), roots));
    EXPECT_FALSE(PhysicalDeviceResolver::physicalDeviceID("", roots));
    roots.mountTable = "/nonexistent";
    EXPECT_FALSE(PhysicalDeviceResolver::physicalDeviceID(scratch.volume().string(), roots));
    // This machine's pseudo file systems.
    EXPECT_FALSE(PhysicalDeviceResolver::physicalDeviceID("/proc/self/status"));
    EXPECT_FALSE(PhysicalDeviceResolver::physicalDeviceID("/sys/class"));
}

TEST(PhysicalDeviceResolver, StopsAfterSixHops) {
    // A loop device with eight device-mapper layers stacked on it. Virtual devices are
    // numbered by kernel name: dm-0 ... dm-7 are disk0 ... disk7, loop0 is disk8.
    MountedScratch scratch;
    fs::path sysfs = scratch.path() / "sys";
    auto device = [&](const std::string& name, unsigned minor, const std::string& below) {
        fs::path dir = sysfs / "devices/virtual/block" / name;
        fs::create_directories(dir / "slaves");
        std::ofstream(dir / "dev") << (name == "loop0" ? 7 : 253) << ":" << minor << "\n";
        std::ofstream(dir / "size") << "2048\n";
        if (!below.empty()) fs::create_directory_symlink("../../" + below, dir / "slaves" / below);
        fs::create_directories(sysfs / "class/block");
        fs::create_directory_symlink("../../devices/virtual/block/" + name, sysfs / "class/block" / name);
    };
    device("loop0", 0, "");
    std::string below = "loop0";
    for (unsigned i = 0; i < 8; ++i) {
        std::string name = "dm-" + std::to_string(i);
        device(name, i, below);
        below = name;
    }
    platform::DiskStackRoots roots{sysfs, scratch.mountTable("/dev/dm-7"), scratch.path() / "dev"};
    EXPECT_EQ(PhysicalDeviceResolver::physicalDeviceID(scratch.volume().string(), roots), "disk1");
    // Four hops from dm-3 reach the loop device.
    roots.mountTable = scratch.mountTable("/dev/dm-3");
    EXPECT_EQ(PhysicalDeviceResolver::physicalDeviceID(scratch.volume().string(), roots), "disk8");
}

TEST(PhysicalDeviceResolver, MapsAPathInAMountedLoopDeviceToItsDisk) {
    testing::LoopDevice loop;
    if (!loop.attached()) GTEST_SKIP() << "needs root and loop devices";
    ASSERT_TRUE(loop.mount());
    fs::create_directories(loop.mountPoint() / "photos");
    auto [name, resolved] = loop.withStableName([&](const std::string&) {
        return PhysicalDeviceResolver::physicalDeviceID((loop.mountPoint() / "photos").string());
    });
    EXPECT_EQ(resolved, name);
    EXPECT_TRUE(name.starts_with("disk"));
}

}  // namespace
}  // namespace quarlin
