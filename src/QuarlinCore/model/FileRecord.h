// One recoverable file found by a scan: its name, where it sat, its declared size, where
// its bytes are and how intact it looks. Compared and hashed over all ten fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "QuarlinCore/io/DeviceIdentity.h"
#include "QuarlinCore/io/JSONSupport.h"
#include "QuarlinCore/io/UUID.h"
#include "QuarlinCore/model/DataLayout.h"
#include "QuarlinCore/model/IntegrityVerdict.h"

namespace quarlin {

struct FileRecord {
    // Note the parameter order: verdict and sourceVolume come before layout, unlike the fields.
    FileRecord(UUID id, std::string name, std::optional<std::string> directoryPath, std::uint64_t declaredSize,
               std::optional<std::uint32_t> firstCluster, IntegrityVerdict verdict, DeviceIdentity sourceVolume,
               std::optional<DataLayout> layout, std::optional<Timestamp> createdAt,
               std::optional<Timestamp> modifiedAt)
        : id(id),
          name(std::move(name)),
          directoryPath(std::move(directoryPath)),
          declaredSize(declaredSize),
          firstCluster(firstCluster),
          layout(std::move(layout)),
          verdict(std::move(verdict)),
          sourceVolume(std::move(sourceVolume)),
          createdAt(createdAt),
          modifiedAt(modifiedAt) {}

    UUID id;
    std::string name;
    std::optional<std::string> directoryPath;
    std::uint64_t declaredSize;
    std::optional<std::uint32_t> firstCluster;
    std::optional<DataLayout> layout;
    IntegrityVerdict verdict;
    DeviceIdentity sourceVolume;
    std::optional<Timestamp> createdAt;
    std::optional<Timestamp> modifiedAt;

    friend bool operator==(const FileRecord&, const FileRecord&) = default;
};

}  // namespace quarlin

template <>
struct std::hash<quarlin::FileRecord> {
    std::size_t operator()(const quarlin::FileRecord& record) const noexcept;
};

// Keys in field order (kept as written in an ordered_json); "id", "name", "declaredSize",
// "verdict" and "sourceVolume" always, the optional fields only when present (a missing or
// null key reads as absent). Timestamps are RFC 3339 text in UTC with fractional seconds.
// Names that are not UTF-8 are written with U+FFFD in place of their bad bytes.
template <>
struct nlohmann::adl_serializer<quarlin::FileRecord> {
    static quarlin::FileRecord from_json(const nlohmann::json& j);
    static void to_json(nlohmann::json& j, const quarlin::FileRecord& record);
    static void to_json(nlohmann::ordered_json& j, const quarlin::FileRecord& record);
};
