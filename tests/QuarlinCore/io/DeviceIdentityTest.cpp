#include "QuarlinCore/io/DeviceIdentity.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unordered_set>

namespace quarlin {
namespace {

using nlohmann::json;

const UUID kVolume = *UUID::parse("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");

TEST(DeviceIdentityTest, EqualityAndHashCoverEveryField) {
    const DeviceIdentity base{"/dev/rdisk4", kVolume, "rdisk4"};
    struct Case {
        const char* name;
        DeviceIdentity other;
        bool equal;
        bool samePhysical;
    };
    const Case cases[] = {
        {"identical", {"/dev/rdisk4", kVolume, "rdisk4"}, true, true},
        {"other name", {"/dev/rdisk4", kVolume, "Backup"}, false, true},
        {"no volume", {"/dev/rdisk4", std::nullopt, "rdisk4"}, false, true},
        {"other volume", {"/dev/rdisk4", UUID::parse("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FA"), "rdisk4"}, false,
         true},
        {"other device", {"/dev/rdisk5", kVolume, "rdisk4"}, false, false},
        {"device differs in case", {"/dev/RDISK4", kVolume, "rdisk4"}, false, false},
    };
    const std::hash<DeviceIdentity> hash;
    for (const auto& c : cases) {
        EXPECT_EQ(base == c.other, c.equal) << c.name;
        EXPECT_EQ(base.isSamePhysicalDevice(c.other), c.samePhysical) << c.name;
        EXPECT_EQ(c.other.isSamePhysicalDevice(base), c.samePhysical) << c.name;
        if (c.equal) {
            EXPECT_EQ(hash(base), hash(c.other)) << c.name;
        }
    }
    const DeviceIdentity noVolumeA{"d", std::nullopt, "n"};
    const DeviceIdentity noVolumeB{"d", std::nullopt, "n"};
    EXPECT_EQ(noVolumeA, noVolumeB);
    EXPECT_EQ(hash(noVolumeA), hash(noVolumeB));

    // Field boundaries matter: moving text from one field to the next is a different value
    // and should not collide as a matter of course.
    std::unordered_set<DeviceIdentity> set{{"ab", std::nullopt, "c"}, {"a", std::nullopt, "bc"}, base};
    EXPECT_EQ(set.size(), 3u);
    EXPECT_EQ(set.count(DeviceIdentity{"/dev/rdisk4", kVolume, "rdisk4"}), 1u);
}

// The written form is checked with the file record that carries it; these are the readings
// only an identity has: the volume absent or null, keys in any order, other keys ignored, a
// volume in either case, and every wrong shape refused.
TEST(DeviceIdentityTest, ReadsWhatTheFormAllowsAndRefusesTheRest) {
    const DeviceIdentity withoutVolume{"/dev/rdisk4", std::nullopt, "rdisk4"};
    const DeviceIdentity withVolume{"/dev/rdisk4", kVolume, "rdisk4"};
    const std::pair<const char*, std::optional<DeviceIdentity>> cases[] = {
        {R"({"physicalDeviceID":"/dev/rdisk4","volumeUUID":null,"displayName":"rdisk4"})", withoutVolume},
        {R"({"displayName":"rdisk4","physicalDeviceID":"/dev/rdisk4","extra":[1,2]})", withoutVolume},
        {R"({"physicalDeviceID":"/dev/rdisk4","volumeUUID":"0A1b2C3d-4E5F-6071-8293-A4B5C6D7E8F9","displayName":"rdisk4"})",
         withVolume},
        {R"({"displayName":"rdisk4"})", std::nullopt},
        {R"({"physicaldeviceid":"/dev/rdisk4","displayName":"rdisk4"})", std::nullopt},
        {R"({"physicalDeviceID":4,"displayName":"rdisk4"})", std::nullopt},
        {R"({"physicalDeviceID":"/dev/rdisk4","displayName":"x","volumeUUID":12})", std::nullopt},
        {R"(["/dev/rdisk4","rdisk4"])", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        if (expected) {
            EXPECT_EQ(json::parse(text).get<DeviceIdentity>(), *expected);
        } else {
            EXPECT_THROW(json::parse(text).get<DeviceIdentity>(), json::exception);
        }
    }
}

}  // namespace
}  // namespace quarlin
