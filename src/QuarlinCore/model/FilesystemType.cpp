#include "QuarlinCore/model/FilesystemType.h"

#include <nlohmann/json.hpp>
#include <string>

#include "QuarlinCore/io/JSONSupport.h"

namespace quarlin {

namespace {
constexpr std::array<std::string_view, 8> kRawValues = {"FAT16", "FAT32", "exFAT", "APFS",
                                                        "HFS+",  "NTFS",  "ext4",  "Unknown"};
}  // namespace

const std::array<FilesystemType, 8>& FilesystemType::allCases() {
    static constexpr std::array<FilesystemType, 8> cases = {fat16, fat32, exFAT, apfs, hfsPlus, ntfs, ext4, unknown};
    return cases;
}

std::optional<FilesystemType> FilesystemType::fromRawValue(std::string_view raw) {
    for (const FilesystemType type : allCases()) {
        if (type.rawValue() == raw) return type;
    }
    return std::nullopt;
}

std::string_view FilesystemType::rawValue() const { return kRawValues[value_]; }

}  // namespace quarlin

quarlin::FilesystemType nlohmann::adl_serializer<quarlin::FilesystemType>::from_json(const nlohmann::json& j) {
    if (!j.is_string()) {
        throw nlohmann::json::type_error::create(
            302, std::string("FilesystemType must be a string, not ") + j.type_name(), &j);
    }
    const auto& raw = j.get_ref<const std::string&>();
    const auto type = quarlin::FilesystemType::fromRawValue(raw);
    if (!type) quarlin::throwDecodingError("Unknown FilesystemType '" + raw + "'.");
    return *type;
}

void nlohmann::adl_serializer<quarlin::FilesystemType>::to_json(nlohmann::json& j, quarlin::FilesystemType type) {
    j = std::string(type.rawValue());
}

void nlohmann::adl_serializer<quarlin::FilesystemType>::to_json(nlohmann::ordered_json& j,
                                                                 quarlin::FilesystemType type) {
    j = std::string(type.rawValue());
}
