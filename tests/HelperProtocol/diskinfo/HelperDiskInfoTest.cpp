#include "HelperProtocol/HelperDiskInfo.h"

#include <gtest/gtest.h>

#include <string>

namespace quarlin {
namespace {

std::string text(const Data& data) { return std::string(reinterpret_cast<const char*>(data.data()), data.size()); }

std::vector<HelperDiskInfo> decode(const std::string& json) {
    return decodeHelperDiskInfoList(std::as_bytes(std::span(json.data(), json.size())));
}

const HelperDiskInfo mountedDisk{"disk3s1", "ext4", "/media/user/BACKUP", false, false, true, "USB", 64023257088};
const HelperDiskInfo bareDisk{"disk0s2", "", std::nullopt, false, true, false, std::nullopt, std::nullopt};

TEST(HelperDiskInfo, EncodesCompactTextInFieldOrder) {
    EXPECT_EQ(text(encodeHelperDiskInfoList({})), "[]");
    EXPECT_EQ(text(encodeHelperDiskInfoList({mountedDisk, bareDisk})),
              R"([{"bsdName":"disk3s1","filesystemType":"ext4","mountPoint":"/media/user/BACKUP",)"
              R"("isWholeDisk":false,"isInternal":false,"isRemovable":true,"connectionType":"USB",)"
              R"("totalBytes":64023257088},)"
              R"({"bsdName":"disk0s2","filesystemType":"","isWholeDisk":false,"isInternal":true,"isRemovable":false}])");
}

TEST(HelperDiskInfo, RoundTripsThroughText) {
    HelperDiskInfo maximal = mountedDisk;
    maximal.totalBytes = UINT64_MAX;
    maximal.mountPoint = "/media/\"quoted\" \\ ünïcode";
    HelperDiskInfo zero = bareDisk;
    zero.totalBytes = 0;
    const std::vector<HelperDiskInfo> disks = {mountedDisk, bareDisk, maximal, zero};
    const auto back = decodeHelperDiskInfoList(encodeHelperDiskInfoList(disks));
    ASSERT_EQ(back, disks);  // a size of zero is written, not left out as unknown
    for (std::size_t i = 0; i < disks.size(); ++i) EXPECT_EQ(std::hash<HelperDiskInfo>{}(back[i]), std::hash<HelperDiskInfo>{}(disks[i]));
}

TEST(HelperDiskInfo, DecodesNullAndUnknownMembers) {
    auto disks = decode(R"([{"bsdName":"disk1","filesystemType":"vfat","mountPoint":null,"connectionType":null,)"
                        R"("totalBytes":null,"isWholeDisk":true,"isInternal":false,"isRemovable":true,"extra":[1]}])");
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0], (HelperDiskInfo{"disk1", "vfat", std::nullopt, true, false, true, std::nullopt, std::nullopt}));
}

TEST(HelperDiskInfo, RejectsMissingOrMistypedMembers) {
    const std::string valid = R"("bsdName":"disk1","filesystemType":"","isInternal":true,"isRemovable":false)";
    const std::vector<std::string> invalid = {
        "{" + valid + "}",                                      // isWholeDisk missing
        "{" + valid + R"(,"isWholeDisk":"true"})",              // a string, not a boolean
        "{" + valid + R"(,"isWholeDisk":1})",                   // a number, not a boolean
        "{" + valid + R"(,"isWholeDisk":true,"totalBytes":-1})",
        "{" + valid + R"(,"isWholeDisk":true,"totalBytes":1.5})",
        "{" + valid + R"(,"isWholeDisk":true,"totalBytes":"12"})",
        "{" + valid + R"(,"isWholeDisk":true,"mountPoint":5})",
        "{" + valid + R"(,"isWholeDisk":true,"bsdName":null})",
        R"({"filesystemType":"","isWholeDisk":true,"isInternal":true,"isRemovable":false})",
        "[]",
        "null",
        "not json",
    };
    for (const auto& element : invalid) {
        EXPECT_THROW(decode("[" + element + "]"), nlohmann::json::exception) << element;
    }
    EXPECT_THROW(decode("{}"), nlohmann::json::exception) << "the list must be an array";
    EXPECT_THROW(decode(""), nlohmann::json::exception);
}

}  // namespace
}  // namespace quarlin
