#include "QuarlinCore/model/FileRecord.h"

#include <nlohmann/json.hpp>

#include "QuarlinCore/io/Hashing.h"

namespace quarlin {
namespace {

void hashTimestamp(std::size_t& seed, const std::optional<Timestamp>& time) {
    hashCombine(seed, time.has_value());
    if (time) {
        hashCombine(seed, time->secondsSinceEpoch());
        hashCombine(seed, time->nanoseconds());
    }
}

template <class Json>
void writeRecord(Json& j, const FileRecord& record) {
    j = Json::object();
    j["id"] = record.id.uuidString();
    j["name"] = validUTF8(record.name);
    if (record.directoryPath) j["directoryPath"] = validUTF8(*record.directoryPath);
    j["declaredSize"] = record.declaredSize;
    if (record.firstCluster) j["firstCluster"] = *record.firstCluster;
    if (record.layout) j["layout"] = *record.layout;
    j["verdict"] = record.verdict;
    j["sourceVolume"] = record.sourceVolume;
    if (record.createdAt) j["createdAt"] = rfc3339(*record.createdAt);
    if (record.modifiedAt) j["modifiedAt"] = rfc3339(*record.modifiedAt);
}

}  // namespace
}  // namespace quarlin

std::size_t std::hash<quarlin::FileRecord>::operator()(const quarlin::FileRecord& record) const noexcept {
    std::size_t seed = 0;
    quarlin::hashCombine(seed, record.id);
    quarlin::hashCombine(seed, record.name);
    quarlin::hashCombine(seed, record.directoryPath);
    quarlin::hashCombine(seed, record.declaredSize);
    quarlin::hashCombine(seed, record.firstCluster);
    quarlin::hashCombine(seed, record.layout);
    quarlin::hashCombine(seed, record.verdict);
    quarlin::hashCombine(seed, record.sourceVolume);
    quarlin::hashTimestamp(seed, record.createdAt);
    quarlin::hashTimestamp(seed, record.modifiedAt);
    return seed;
}

quarlin::FileRecord nlohmann::adl_serializer<quarlin::FileRecord>::from_json(const nlohmann::json& j) {
    using namespace quarlin;
    // Read in field order, so the first bad key of a document is the one reported.
    UUID id = requiredUUID(j, "id");
    std::string name = requiredString(j, "name");
    std::optional<std::string> directoryPath = optionalString(j, "directoryPath");
    const std::uint64_t declaredSize = requiredUInt64(j, "declaredSize");
    const std::optional<std::uint32_t> firstCluster = optionalUInt32(j, "firstCluster");
    std::optional<DataLayout> layout;
    if (const auto* member = optionalMember(j, "layout")) layout = member->get<DataLayout>();
    IntegrityVerdict verdict = requiredObject(j, "verdict").get<IntegrityVerdict>();
    DeviceIdentity sourceVolume = requiredObject(j, "sourceVolume").get<DeviceIdentity>();
    const std::optional<Timestamp> createdAt = optionalTimestamp(j, "createdAt");
    const std::optional<Timestamp> modifiedAt = optionalTimestamp(j, "modifiedAt");
    return FileRecord(id, std::move(name), std::move(directoryPath), declaredSize, firstCluster, std::move(verdict),
                      std::move(sourceVolume), std::move(layout), createdAt, modifiedAt);
}

void nlohmann::adl_serializer<quarlin::FileRecord>::to_json(nlohmann::json& j, const quarlin::FileRecord& record) {
    quarlin::writeRecord(j, record);
}

void nlohmann::adl_serializer<quarlin::FileRecord>::to_json(nlohmann::ordered_json& j,
                                                             const quarlin::FileRecord& record) {
    quarlin::writeRecord(j, record);
}
