#include "QuarlinCore/io/DeviceIdentity.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace quarlin {
namespace {

using nlohmann::json;

const UUID kVolume = *UUID::parse("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");

// The same physical device is the same device ID, spelled exactly alike, whatever the
// volumes and names say.
TEST(DeviceIdentityTest, SamePhysicalDeviceTakesTheDeviceIDOnly) {
    const DeviceIdentity base{"/dev/rdisk4", kVolume, "rdisk4"};
    const std::pair<DeviceIdentity, bool> cases[] = {
        {{"/dev/rdisk4", kVolume, "Backup"}, true},
        {{"/dev/rdisk4", std::nullopt, "rdisk4"}, true},
        {{"/dev/rdisk4", UUID::parse("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FA"), "rdisk4"}, true},
        {{"/dev/rdisk5", kVolume, "rdisk4"}, false},
        {{"/dev/RDISK4", kVolume, "rdisk4"}, false},
    };
    for (const auto& [other, same] : cases) {
        EXPECT_EQ(base.isSamePhysicalDevice(other), same) << other.physicalDeviceID;
        EXPECT_EQ(other.isSamePhysicalDevice(base), same) << other.physicalDeviceID;
    }
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
