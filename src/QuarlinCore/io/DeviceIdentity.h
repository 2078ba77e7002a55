// The identity of a physical device, and optionally of a volume on it, wherever a device
// is referred to (readers, volumes, file records, jobs). Compared and hashed by content.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "QuarlinCore/io/UUID.h"

namespace quarlin {

struct DeviceIdentity {
    std::string physicalDeviceID;
    std::optional<UUID> volumeUUID;
    std::string displayName;

    // Same physical device: the device IDs are equal; volume and name are ignored.
    bool isSamePhysicalDevice(const DeviceIdentity& other) const {
        return physicalDeviceID == other.physicalDeviceID;
    }

    friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// JSON object with "physicalDeviceID", "volumeUUID" when present, and "displayName", in
// that order in an ordered_json. Text that is not UTF-8 is written with U+FFFD in place of
// its bad bytes, so writing never fails.
void to_json(nlohmann::json& j, const DeviceIdentity& identity);
void to_json(nlohmann::ordered_json& j, const DeviceIdentity& identity);
void from_json(const nlohmann::json& j, DeviceIdentity& identity);

}  // namespace quarlin

template <>
struct std::hash<quarlin::DeviceIdentity> {
    std::size_t operator()(const quarlin::DeviceIdentity& identity) const noexcept;
};
