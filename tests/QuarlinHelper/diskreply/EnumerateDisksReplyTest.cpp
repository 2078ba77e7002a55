#include <gtest/gtest.h>

#include "DiskAccess/diskstack/LoopDevice.h"
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

TEST(EnumerateDisksReply, ListsThisMachinesLoopDevice) {
    testing::LoopDevice loop;
    if (!loop.attached()) GTEST_SKIP() << "needs root and loop devices";
    ASSERT_TRUE(loop.mount());
    QuarlinHelperService service({}, enumerateDisksAsJSON);
    fixtures::ReplyProbe<std::optional<Data>, std::optional<ErrorObject>> probe;
    service.enumerateDisks(probe.reply());
    auto [json, error] = probe.finish();
    ASSERT_FALSE(error) << error->localizedDescription();
    ASSERT_TRUE(json);
    auto disks = decodeHelperDiskInfoList(*json);
    std::optional<HelperDiskInfo> listed;
    for (const auto& disk : disks)
        if (disk.isWholeDisk && disk.totalBytes == loop.sizeBytes()) listed = disk;
    ASSERT_TRUE(listed) << "the loop device is not in the reply";
    EXPECT_TRUE(listed->bsdName.starts_with("disk"));
    EXPECT_EQ(*listed, (HelperDiskInfo{listed->bsdName, "ext4", loop.mountPoint().string(), true, true, false, std::nullopt,
                                       loop.sizeBytes()}));
    // Whole disks come first.
    bool seenPartition = false;
    for (const auto& disk : disks) {
        if (!disk.isWholeDisk) seenPartition = true;
        EXPECT_FALSE(seenPartition && disk.isWholeDisk) << disk.bsdName;
    }
}

}  // namespace
}  // namespace quarlin
