#include "QuarlinCore/io/JSONSupport.h"

#include <array>
#include <cstdio>
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

double asDouble(const json& value, std::string_view key) {
    if (!value.is_number()) wrongType(key, "a number", value);
    return value.get<double>();
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
    if (!time) throwDecodingError("member '" + std::string(key) + "' is not an RFC 3339 date: " + text);
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

std::uint64_t toUInt64(const json& value) { return asUInt64(value, "value"); }
std::int64_t toInt64(const json& value) { return asInt64(value, "value"); }

std::string requiredString(const json& j, std::string_view key) { return asString(member(j, key), key); }
std::optional<std::string> optionalString(const json& j, std::string_view key) {
    return optionalOf<std::string, asString>(j, key);
}
std::uint64_t requiredUInt64(const json& j, std::string_view key) { return asUInt64(member(j, key), key); }
std::optional<std::uint64_t> optionalUInt64(const json& j, std::string_view key) {
    return optionalOf<std::uint64_t, asUInt64>(j, key);
}
std::uint32_t requiredUInt32(const json& j, std::string_view key) { return asUInt32(member(j, key), key); }
std::optional<std::uint32_t> optionalUInt32(const json& j, std::string_view key) {
    return optionalOf<std::uint32_t, asUInt32>(j, key);
}
std::int64_t requiredInt64(const json& j, std::string_view key) { return asInt64(member(j, key), key); }
std::optional<std::int64_t> optionalInt64(const json& j, std::string_view key) {
    return optionalOf<std::int64_t, asInt64>(j, key);
}
bool requiredBool(const json& j, std::string_view key) { return asBool(member(j, key), key); }
std::optional<bool> optionalBool(const json& j, std::string_view key) {
    return optionalOf<bool, asBool>(j, key);
}
double requiredDouble(const json& j, std::string_view key) { return asDouble(member(j, key), key); }
std::optional<double> optionalDouble(const json& j, std::string_view key) {
    return optionalOf<double, asDouble>(j, key);
}
UUID requiredUUID(const json& j, std::string_view key) { return asUUID(member(j, key), key); }
std::optional<UUID> optionalUUID(const json& j, std::string_view key) {
    return optionalOf<UUID, asUUID>(j, key);
}
Data requiredData(const json& j, std::string_view key) { return asData(member(j, key), key); }
std::optional<Data> optionalData(const json& j, std::string_view key) {
    return optionalOf<Data, asData>(j, key);
}
Timestamp requiredTimestamp(const json& j, std::string_view key) {
    return asTimestamp(member(j, key), key);
}
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

// ---- RFC 3339 ----

std::string rfc3339(Timestamp time) {
    using namespace std::chrono;
    const auto days = floor<std::chrono::days>(time);
    const year_month_day date{days};
    const auto sinceMidnight = time - days;
    const auto secondsOfDay = floor<seconds>(sinceMidnight);
    const auto nanos = (sinceMidnight - secondsOfDay).count();
    const hh_mm_ss<seconds> clock{secondsOfDay};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%09lld", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<long long>(nanos));
    std::string text(buffer);
    // Keep at least milliseconds; drop trailing zeros beyond them.
    while (text.size() > 23 && text.back() == '0') text.pop_back();
    text.push_back('Z');
    return text;
}

std::optional<Timestamp> parseRFC3339(std::string_view text) {
    using namespace std::chrono;
    auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
        if (at + count > text.size()) return std::nullopt;
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    auto expect = [&](std::size_t at, char c) { return at < text.size() && text[at] == c; };
    const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
    const auto hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (!expect(4, '-') || !expect(7, '-') || !(expect(10, 'T') || expect(10, 't')) || !expect(13, ':') ||
        !expect(16, ':')) {
        return std::nullopt;
    }
    const year_month_day date{std::chrono::year{*year}, std::chrono::month{static_cast<unsigned>(*month)},
                              std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    std::size_t at = 19;
    long long nanos = 0;
    if (expect(at, '.')) {
        ++at;
        int count = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (++count > 9) return std::nullopt;
            nanos = nanos * 10 + (text[at] - '0');
            ++at;
        }
        if (count == 0) return std::nullopt;
        for (int k = count; k < 9; ++k) nanos *= 10;
    }
    int offsetMinutes = 0;
    if (expect(at, 'Z') || expect(at, 'z')) {
        ++at;
    } else if (expect(at, '+') || expect(at, '-')) {
        const int sign = text[at] == '-' ? -1 : 1;
        const auto oh = digits(at + 1, 2), om = digits(at + 4, 2);
        if (!oh || !om || !expect(at + 3, ':') || *oh > 23 || *om > 59) return std::nullopt;
        offsetMinutes = sign * (*oh * 60 + *om);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    const seconds wholeSeconds = sys_days{date}.time_since_epoch() + hours{*hour} + minutes{*minute} +
                                 seconds{*second} - minutes{offsetMinutes};
    // A nanosecond timestamp spans only the years 1677 to 2262; refuse instants outside.
    constexpr seconds limit = duration_cast<seconds>(Timestamp::duration::max()) - seconds{1};
    if (wholeSeconds > limit || wholeSeconds < -limit) return std::nullopt;
    return Timestamp{wholeSeconds + nanoseconds{nanos}};
}

}  // namespace quarlin
