#include <gtest/gtest.h>

#include <sys/mount.h>

#include <filesystem>

#include "DiskAccess/diskstack/LoopDevice.h"
#include "QuarlinCore/io/JSONSupport.h"
#include "QuarlinHelper/EnumerateDisks.h"
#include "QuarlinHelper/QuarlinHelperService.h"
#include "support/ReplyProbe.h"

namespace quarlin {
namespace {

TEST(EnumerateDisksReply, WireRecordsDropOnlyIDAndVirtualFlag) {
    const DiskInfo disk{UUID::random(), "disk4s1", "ext4", "/mnt/x", false, false, true, "USB", 0, true};
    EXPECT_EQ(helperDiskInfo(disk), (HelperDiskInfo{"disk4s1", "ext4", "/mnt/x", false, false, true, "USB", 0}));
    const DiskInfo bare{UUID::random(), "disk0", "", std::nullopt, true, true, false, std::nullopt, std::nullopt, false};
    EXPECT_EQ(helperDiskInfo(bare),
              (HelperDiskInfo{"disk0", "", std::nullopt, true, true, false, std::nullopt, std::nullopt}));
}

// Listed as it is at each call: unmounted, then mounted at a path that is not UTF-8 (Linux
// allows any bytes), which is listed with U+FFFD in place of its bad byte.
TEST(EnumerateDisksReply, ListsThisMachinesLoopDevice) {
    testing::LoopDevice loop;
    if (!loop.attached()) GTEST_SKIP() << "needs root and loop devices";
    QuarlinHelperService service({}, enumerateDisksAsJSON);
    std::vector<HelperDiskInfo> disks;
    auto listed = [&]() -> std::optional<HelperDiskInfo> {
        fixtures::ReplyProbe<std::optional<Data>, std::optional<ErrorObject>> probe;
        service.enumerateDisks(probe.reply());
        auto [json, error] = probe.finish();
        EXPECT_FALSE(error) << error->localizedDescription();
        disks = json ? decodeHelperDiskInfoList(*json) : std::vector<HelperDiskInfo>{};
        std::optional<HelperDiskInfo> found;
        for (const auto& disk : disks)
            if (disk.isWholeDisk && disk.totalBytes == loop.sizeBytes()) found = disk;
        return found;
    };
    const auto unmounted = listed();
    ASSERT_TRUE(unmounted) << "the loop device is not in the reply";
    EXPECT_EQ(unmounted->filesystemType, "ext4");
    EXPECT_FALSE(unmounted->mountPoint);

    const std::filesystem::path oddPoint = loop.mountPoint().parent_path() / "mount\xFF";
    std::filesystem::create_directory(oddPoint);
    ASSERT_EQ(::mount(loop.node().c_str(), oddPoint.c_str(), "ext4", MS_RDONLY, nullptr), 0);
    struct Unmount {
        const std::filesystem::path& at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{oddPoint};
    const auto mounted = listed();
    ASSERT_TRUE(mounted) << "the loop device is not in the reply";
    EXPECT_TRUE(mounted->bsdName.starts_with("disk"));
    EXPECT_EQ(*mounted, (HelperDiskInfo{mounted->bsdName, "ext4", validUTF8(oddPoint.string()), true, true, false,
                                        std::nullopt, loop.sizeBytes()}));
    // Whole disks come first.
    bool seenPartition = false;
    for (const auto& disk : disks) {
        if (!disk.isWholeDisk) seenPartition = true;
        EXPECT_FALSE(seenPartition && disk.isWholeDisk) << disk.bsdName;
    }
}

}  // namespace
}  // namespace quarlin
