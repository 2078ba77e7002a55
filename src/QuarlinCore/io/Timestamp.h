// An instant in UTC at nanosecond precision anywhere from the first moment of the year 1 to
// the last nanosecond of the year 9999: whole seconds since 1970-01-01T00:00:00Z and the
// nanoseconds within that second, held apart so that the dates file systems carry (NTFS
// from 1601, ext4 to 2446, garbage) fit without wrapping. Every value that can be made can
// be written and read back; instants outside the range cannot be made at all.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarlin {

class Timestamp {
public:
    // 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z as seconds since the epoch.
    static constexpr std::int64_t kEarliestSeconds = -62135596800;
    static constexpr std::int64_t kLatestSeconds = 253402300799;

    constexpr Timestamp() = default;  // the epoch
    // Any nanosecond system time lies within the years 1677 to 2262, so this never fails.
    Timestamp(std::chrono::sys_time<std::chrono::nanoseconds> time);  // NOLINT: implicit by design

    // Nothing when the instant lies outside the years 1 to 9999 or nanoseconds exceeds
    // 999,999,999.
    static std::optional<Timestamp> make(std::int64_t secondsSinceEpoch, std::uint32_t nanoseconds);
    static std::optional<Timestamp> make(std::chrono::sys_seconds seconds, std::chrono::nanoseconds extra = {});

    static Timestamp now();

    std::int64_t secondsSinceEpoch() const { return seconds_; }
    std::uint32_t nanoseconds() const { return nanoseconds_; }

    friend auto operator<=>(const Timestamp&, const Timestamp&) = default;

private:
    constexpr Timestamp(std::int64_t seconds, std::uint32_t nanoseconds) : seconds_(seconds), nanoseconds_(nanoseconds) {}

    std::int64_t seconds_ = 0;
    std::uint32_t nanoseconds_ = 0;
};

// RFC 3339 in UTC with fractional seconds, e.g. 2026-12-06T18:34:46.123Z (at least
// milliseconds, up to nine digits, trailing zeros beyond milliseconds dropped). Reading
// accepts a "Z" or numeric offset and up to nine fractional digits, gives back exactly what
// was written, and refuses instants that fall outside the years 1 to 9999 once the offset is
// applied.
std::string rfc3339(Timestamp time);
std::optional<Timestamp> parseRFC3339(std::string_view text);

}  // namespace quarlin
