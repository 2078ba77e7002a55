// Where a file's content is: held inline in the record, or a list of byte runs on the
// volume (extents), concatenated in list order. A sparse run stands for bytes of the file
// that have no storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <nlohmann/json_fwd.hpp>
#include <utility>
#include <variant>
#include <vector>

#include "QuarlinCore/io/Data.h"

namespace quarlin {

struct DataExtent {
    // The volume offset that marks a run without storage: all 64 bits set.
    static constexpr std::uint64_t sparseOffset = std::numeric_limits<std::uint64_t>::max();

    std::uint64_t volumeByteOffset;
    std::uint64_t byteLength;

    static constexpr DataExtent sparse(std::uint64_t byteLength) { return {sparseOffset, byteLength}; }
    constexpr bool isSparse() const { return volumeByteOffset == sparseOffset; }

    friend bool operator==(const DataExtent&, const DataExtent&) = default;
};

class DataLayout {
public:
    struct Resident {
        Data bytes;
        friend bool operator==(const Resident&, const Resident&) = default;
    };
    struct Extents {
        std::vector<DataExtent> extents;
        friend bool operator==(const Extents&, const Extents&) = default;
    };
    using Case = std::variant<Resident, Extents>;

    static DataLayout resident(Data bytes) { return DataLayout(Resident{std::move(bytes)}); }
    static DataLayout extents(std::vector<DataExtent> extents) { return DataLayout(Extents{std::move(extents)}); }

    const Case& value() const { return value_; }

    friend bool operator==(const DataLayout&, const DataLayout&) = default;

private:
    explicit DataLayout(Case value) : value_(std::move(value)) {}
    Case value_;
};

}  // namespace quarlin

template <>
struct std::hash<quarlin::DataExtent> {
    std::size_t operator()(const quarlin::DataExtent& extent) const noexcept;
};

// A case marker (0 resident, 1 extents), then the bytes, or the count and every extent.
template <>
struct std::hash<quarlin::DataLayout> {
    std::size_t operator()(const quarlin::DataLayout& layout) const noexcept;
};

// {"volumeByteOffset": u64, "byteLength": u64}, both required.
template <>
struct nlohmann::adl_serializer<quarlin::DataExtent> {
    static quarlin::DataExtent from_json(const nlohmann::json& j);
    static void to_json(nlohmann::json& j, const quarlin::DataExtent& extent);
    static void to_json(nlohmann::ordered_json& j, const quarlin::DataExtent& extent);
};

// {"type": "resident", "residentData": base64} or {"type": "extents", "extents": [...]}.
// Only the chosen case's key is read; any other type string fails as corrupted data.
template <>
struct nlohmann::adl_serializer<quarlin::DataLayout> {
    static quarlin::DataLayout from_json(const nlohmann::json& j);
    static void to_json(nlohmann::json& j, const quarlin::DataLayout& layout);
    static void to_json(nlohmann::ordered_json& j, const quarlin::DataLayout& layout);
};
