// Strict reading and writing of JSON members for the records' JSON forms. Readers throw
// the JSON layer's own exceptions: a missing required key, a value of the wrong type or a
// number outside the field's range fails; an optional key that is missing or null reads
// as absent. Unknown keys are never looked at.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "QuarlinCore/io/Data.h"
#include "QuarlinCore/io/Timestamp.h"
#include "QuarlinCore/io/UTF8.h"
#include "QuarlinCore/io/UUID.h"

namespace quarlin {

[[noreturn]] void throwDecodingError(const std::string& message);

// A decoding failure whose description is fixed text, without the JSON layer's numbered
// prefix, attached to the key it concerns. Caught like any other failure of the JSON layer.
class DecodingError : public nlohmann::json::exception {
public:
    DecodingError(std::string key, const std::string& description)
        : exception(501, description.c_str()), key_(std::move(key)) {}
    const std::string& key() const noexcept { return key_; }

private:
    std::string key_;
};


// The object itself must be a JSON object; throws otherwise.
const nlohmann::json& requireObject(const nlohmann::json& j);

std::string requiredString(const nlohmann::json& j, std::string_view key);
std::optional<std::string> optionalString(const nlohmann::json& j, std::string_view key);
std::uint64_t requiredUInt64(const nlohmann::json& j, std::string_view key);
std::optional<std::uint64_t> optionalUInt64(const nlohmann::json& j, std::string_view key);
std::optional<std::uint32_t> optionalUInt32(const nlohmann::json& j, std::string_view key);
std::int64_t requiredInt64(const nlohmann::json& j, std::string_view key);
bool requiredBool(const nlohmann::json& j, std::string_view key);
UUID requiredUUID(const nlohmann::json& j, std::string_view key);
std::optional<UUID> optionalUUID(const nlohmann::json& j, std::string_view key);
Data requiredData(const nlohmann::json& j, std::string_view key);            // base64 text
std::optional<Timestamp> optionalTimestamp(const nlohmann::json& j, std::string_view key);  // RFC 3339, years 1-9999
const nlohmann::json& requiredObject(const nlohmann::json& j, std::string_view key);
const nlohmann::json& requiredArray(const nlohmann::json& j, std::string_view key);
// The member itself, or nullptr when it is missing or null.
const nlohmann::json* optionalMember(const nlohmann::json& j, std::string_view key);

std::string base64Encode(std::span<const std::byte> bytes);
std::optional<Data> base64Decode(std::string_view text);

}  // namespace quarlin
