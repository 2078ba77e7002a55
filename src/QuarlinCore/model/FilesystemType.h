// The kind of file system on a volume. Its raw string is its external form and its JSON
// value; construction from a raw string is an exact, case-sensitive match.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>

namespace quarlin {

class FilesystemType {
public:
    enum Value : std::uint8_t { fat16, fat32, exFAT, apfs, hfsPlus, ntfs, ext4, unknown };

    constexpr FilesystemType(Value value) : value_(value) {}  // NOLINT: implicit by design

    // Every case, fat16 first and unknown last.
    static const std::array<FilesystemType, 8>& allCases();
    // No value for any string but the eight raw strings ("Unknown" gives unknown).
    static std::optional<FilesystemType> fromRawValue(std::string_view raw);

    std::string_view rawValue() const;
    constexpr Value value() const { return value_; }

    friend constexpr bool operator==(FilesystemType, FilesystemType) = default;

private:
    Value value_;
};

}  // namespace quarlin

template <>
struct std::hash<quarlin::FilesystemType> {
    std::size_t operator()(quarlin::FilesystemType type) const noexcept {
        return std::hash<int>{}(type.value());
    }
};

// Written as its raw string; reading any other string fails as corrupted data.
template <>
struct nlohmann::adl_serializer<quarlin::FilesystemType> {
    static quarlin::FilesystemType from_json(const nlohmann::json& j);
    static void to_json(nlohmann::json& j, quarlin::FilesystemType type);
    static void to_json(nlohmann::ordered_json& j, quarlin::FilesystemType type);
};
