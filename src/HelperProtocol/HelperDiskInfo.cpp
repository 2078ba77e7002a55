#include "HelperProtocol/HelperDiskInfo.h"

#include <cstring>

#include "QuarlinCore/io/Hashing.h"
#include "QuarlinCore/io/JSONSupport.h"

namespace quarlin {

namespace {

template <class Json>
void write(Json& j, const HelperDiskInfo& info) {
    j = Json::object();
    j["bsdName"] = info.bsdName;
    j["filesystemType"] = info.filesystemType;
    if (info.mountPoint) j["mountPoint"] = *info.mountPoint;
    j["isWholeDisk"] = info.isWholeDisk;
    j["isInternal"] = info.isInternal;
    j["isRemovable"] = info.isRemovable;
    if (info.connectionType) j["connectionType"] = *info.connectionType;
    if (info.totalBytes) j["totalBytes"] = *info.totalBytes;
}

}  // namespace

void to_json(nlohmann::json& j, const HelperDiskInfo& info) { write(j, info); }
void to_json(nlohmann::ordered_json& j, const HelperDiskInfo& info) { write(j, info); }

void from_json(const nlohmann::json& j, HelperDiskInfo& info) {
    requireObject(j);
    info.bsdName = requiredString(j, "bsdName");
    info.filesystemType = requiredString(j, "filesystemType");
    info.mountPoint = optionalString(j, "mountPoint");
    info.isWholeDisk = requiredBool(j, "isWholeDisk");
    info.isInternal = requiredBool(j, "isInternal");
    info.isRemovable = requiredBool(j, "isRemovable");
    info.connectionType = optionalString(j, "connectionType");
    info.totalBytes = optionalUInt64(j, "totalBytes");
}

Data encodeHelperDiskInfoList(const std::vector<HelperDiskInfo>& disks) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& disk : disks) list.push_back(disk);
    // Mount points and names may hold any bytes Linux allows: replace what is not UTF-8
    // rather than fail the whole listing.
    std::string text = list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    Data data(text.size());
    std::memcpy(data.data(), text.data(), text.size());
    return data;
}

std::vector<HelperDiskInfo> decodeHelperDiskInfoList(std::span<const std::byte> json) {
    const char* begin = reinterpret_cast<const char*>(json.data());
    nlohmann::json list = nlohmann::json::parse(begin, begin + json.size());
    if (!list.is_array()) throwDecodingError("The disk list is not a JSON array.");
    std::vector<HelperDiskInfo> disks;
    disks.reserve(list.size());
    for (const auto& element : list) disks.push_back(element.get<HelperDiskInfo>());
    return disks;
}

}  // namespace quarlin

std::size_t std::hash<quarlin::HelperDiskInfo>::operator()(const quarlin::HelperDiskInfo& info) const noexcept {
    std::size_t seed = 0;
    quarlin::hashCombine(seed, info.bsdName);
    quarlin::hashCombine(seed, info.filesystemType);
    quarlin::hashCombine(seed, info.mountPoint);
    quarlin::hashCombine(seed, info.isWholeDisk);
    quarlin::hashCombine(seed, info.isInternal);
    quarlin::hashCombine(seed, info.isRemovable);
    quarlin::hashCombine(seed, info.connectionType);
    quarlin::hashCombine(seed, info.totalBytes);
    return seed;
}
