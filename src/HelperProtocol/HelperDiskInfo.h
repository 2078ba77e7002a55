// One disk or partition as the helper describes it to its client, and its JSON form: an
// object with the field names as keys, absent optionals left out. The disk list is a JSON
// array of these objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "QuarlinCore/io/Data.h"

namespace quarlin {

struct HelperDiskInfo {
    std::string bsdName;
    std::string filesystemType;
    std::optional<std::string> mountPoint;
    bool isWholeDisk = false;
    bool isInternal = false;
    bool isRemovable = false;
    std::optional<std::string> connectionType;
    std::optional<std::uint64_t> totalBytes;

    friend bool operator==(const HelperDiskInfo&, const HelperDiskInfo&) = default;
};

// Members in field order; written for both json and ordered_json.
void to_json(nlohmann::json& j, const HelperDiskInfo& info);
void to_json(nlohmann::ordered_json& j, const HelperDiskInfo& info);
// Throws the JSON layer's errors for a missing or mistyped member.
void from_json(const nlohmann::json& j, HelperDiskInfo& info);

// The disk list as compact JSON text, records in order, members in field order.
Data encodeHelperDiskInfoList(const std::vector<HelperDiskInfo>& disks);
// Throws the JSON layer's errors for text that is not such a list.
std::vector<HelperDiskInfo> decodeHelperDiskInfoList(std::span<const std::byte> json);

}  // namespace quarlin

template <>
struct std::hash<quarlin::HelperDiskInfo> {
    std::size_t operator()(const quarlin::HelperDiskInfo& info) const noexcept;
};
