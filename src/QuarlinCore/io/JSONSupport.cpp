#include "QuarlinCore/io/JSONSupport.h"

#include <array>
#include <limits>

namespace quarlin {

using nlohmann::json;

void throwDecodingError(const std::string& message) {
    throw json::other_error::create(501, message, nullptr);
}

namespace {

[[noreturn]] void wrongType(std::string_view key, const char* expected, const json& value) {
    throw json::type_error::create(
        302, "member '" + std::string(key) + "' must be " + expected + ", not " + value.type_name(),
        &value);
}

const json& member(const json& j, std::string_view key) {
    const json& object = requireObject(j);
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        throw json::out_of_range::create(403, "key '" + std::string(key) + "' not found", &j);
    }
    return *it;
}

template <class T, T (*convert)(const json&, std::string_view)>
std::optional<T> optionalOf(const json& j, std::string_view key) {
    const json* value = optionalMember(j, key);
    if (!value) return std::nullopt;
    return convert(*value, key);
}

std::uint64_t asUInt64(const json& value, std::string_view key) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer()) {
        const auto signedValue = value.get<std::int64_t>();
        if (signedValue >= 0) return static_cast<std::uint64_t>(signedValue);
        throw json::out_of_range::create(
            406, "member '" + std::string(key) + "' is negative: " + value.dump(), &value);
    }
    wrongType(key, "an unsigned integer", value);
}

std::int64_t asInt64(const json& value, std::string_view key) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(unsignedValue);
        }
        throw json::out_of_range::create(
            406, "member '" + std::string(key) + "' is out of range: " + value.dump(), &value);
    }
    wrongType(key, "an integer", value);
}

std::uint32_t asUInt32(const json& value, std::string_view key) {
    const std::uint64_t wide = asUInt64(value, key);
    if (wide > std::numeric_limits<std::uint32_t>::max()) {
        throw json::out_of_range::create(
            406, "member '" + std::string(key) + "' is out of range: " + value.dump(), &value);
    }
    return static_cast<std::uint32_t>(wide);
}

std::string asString(const json& value, std::string_view key) {
    if (!value.is_string()) wrongType(key, "a string", value);
    return value.get<std::string>();
}

bool asBool(const json& value, std::string_view key) {
    if (!value.is_boolean()) wrongType(key, "a boolean", value);
    return value.get<bool>();
}

UUID asUUID(const json& value, std::string_view key) {
    const std::string text = asString(value, key);
    auto uuid = UUID::parse(text);
    if (!uuid) {
        throwDecodingError("member '" + std::string(key) + "' is not a valid UUID: " + text);
    }
    return *uuid;
}

Data asData(const json& value, std::string_view key) {
    const std::string text = asString(value, key);
    auto bytes = base64Decode(text);
    if (!bytes) throwDecodingError("member '" + std::string(key) + "' is not valid base64 data");
    return std::move(*bytes);
}

Timestamp asTimestamp(const json& value, std::string_view key) {
    const std::string text = asString(value, key);
    auto time = parseRFC3339(text);
    if (!time) {
        throwDecodingError("member '" + std::string(key) + "' is not an RFC 3339 date of the years 1 to 9999: " +
                           validUTF8(text));
    }
    return *time;
}

}  // namespace

const json& requireObject(const json& j) {
    if (!j.is_object()) {
        throw json::type_error::create(302, std::string("expected an object, not ") + j.type_name(), &j);
    }
    return j;
}

const json* optionalMember(const json& j, std::string_view key) {
    const json& object = requireObject(j);
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string requiredString(const json& j, std::string_view key) { return asString(member(j, key), key); }
std::optional<std::string> optionalString(const json& j, std::string_view key) {
    return optionalOf<std::string, asString>(j, key);
}
std::uint64_t requiredUInt64(const json& j, std::string_view key) { return asUInt64(member(j, key), key); }
std::optional<std::uint64_t> optionalUInt64(const json& j, std::string_view key) {
    return optionalOf<std::uint64_t, asUInt64>(j, key);
}
std::optional<std::uint32_t> optionalUInt32(const json& j, std::string_view key) {
    return optionalOf<std::uint32_t, asUInt32>(j, key);
}
std::int64_t requiredInt64(const json& j, std::string_view key) { return asInt64(member(j, key), key); }
bool requiredBool(const json& j, std::string_view key) { return asBool(member(j, key), key); }
UUID requiredUUID(const json& j, std::string_view key) { return asUUID(member(j, key), key); }
std::optional<UUID> optionalUUID(const json& j, std::string_view key) {
    return optionalOf<UUID, asUUID>(j, key);
}
Data requiredData(const json& j, std::string_view key) { return asData(member(j, key), key); }
std::optional<Timestamp> optionalTimestamp(const json& j, std::string_view key) {
    return optionalOf<Timestamp, asTimestamp>(j, key);
}
const json& requiredObject(const json& j, std::string_view key) {
    const json& value = member(j, key);
    if (!value.is_object()) wrongType(key, "an object", value);
    return value;
}
const json& requiredArray(const json& j, std::string_view key) {
    const json& value = member(j, key);
    if (!value.is_array()) wrongType(key, "an array", value);
    return value;
}

// ---- base64 (standard alphabet, padded) ----

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

std::string base64Encode(std::span<const std::byte> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto n = std::to_integer<unsigned>(bytes[i]) << 16 |
                       std::to_integer<unsigned>(bytes[i + 1]) << 8 | std::to_integer<unsigned>(bytes[i + 2]);
        text.push_back(kAlphabet[n >> 18 & 63]);
        text.push_back(kAlphabet[n >> 12 & 63]);
        text.push_back(kAlphabet[n >> 6 & 63]);
        text.push_back(kAlphabet[n & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned n = std::to_integer<unsigned>(bytes[i]) << 16;
        if (rest == 2) n |= std::to_integer<unsigned>(bytes[i + 1]) << 8;
        text.push_back(kAlphabet[n >> 18 & 63]);
        text.push_back(kAlphabet[n >> 12 & 63]);
        text.push_back(rest == 2 ? kAlphabet[n >> 6 & 63] : '=');
        text.push_back('=');
    }
    return text;
}

std::optional<Data> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Data bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return std::nullopt;  // data after padding
            v[k] = base64Value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const unsigned n = static_cast<unsigned>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        bytes.push_back(static_cast<std::byte>(n >> 16));
        if (padding < 2) bytes.push_back(static_cast<std::byte>(n >> 8 & 0xFF));
        if (padding < 1) bytes.push_back(static_cast<std::byte>(n & 0xFF));
    }
    return bytes;
}

}  // namespace quarlin
