#include "QuarlinCore/io/Timestamp.h"

#include <cstdio>

namespace quarlin {

using namespace std::chrono;

namespace {
constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
}

Timestamp::Timestamp(sys_time<std::chrono::nanoseconds> time) {
    const auto whole = floor<seconds>(time);
    seconds_ = whole.time_since_epoch().count();
    nanoseconds_ = static_cast<std::uint32_t>((time - whole).count());
}

std::optional<Timestamp> Timestamp::make(std::int64_t secondsSinceEpoch, std::uint32_t nanoseconds) {
    if (secondsSinceEpoch < kEarliestSeconds || secondsSinceEpoch > kLatestSeconds) return std::nullopt;
    if (nanoseconds >= kNanosPerSecond) return std::nullopt;
    return Timestamp(secondsSinceEpoch, nanoseconds);
}

std::optional<Timestamp> Timestamp::make(sys_seconds whole, std::chrono::nanoseconds extra) {
    const auto extraSeconds = floor<seconds>(extra);
    std::int64_t total = 0;
    if (__builtin_add_overflow(whole.time_since_epoch().count(), extraSeconds.count(), &total)) return std::nullopt;
    return make(total, static_cast<std::uint32_t>((extra - extraSeconds).count()));
}

Timestamp Timestamp::now() { return Timestamp(time_point_cast<std::chrono::nanoseconds>(system_clock::now())); }

std::string rfc3339(Timestamp time) {
    const sys_seconds whole{seconds{time.secondsSinceEpoch()}};
    const auto day = floor<days>(whole);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{whole - day};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%09u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<unsigned>(time.nanoseconds()));
    std::string text(buffer);
    // Keep at least milliseconds; drop trailing zeros beyond them.
    while (text.size() > 23 && text.back() == '0') text.pop_back();
    text.push_back('Z');
    return text;
}

std::optional<Timestamp> parseRFC3339(std::string_view text) {
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
    std::uint32_t nanos = 0;
    if (expect(at, '.')) {
        ++at;
        int count = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (++count > 9) return std::nullopt;
            nanos = nanos * 10 + static_cast<std::uint32_t>(text[at] - '0');
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
    // Four digits of year keep this far inside 64 bits; the range check is make()'s.
    const seconds whole = sys_days{date}.time_since_epoch() + hours{*hour} + minutes{*minute} + seconds{*second} -
                          minutes{offsetMinutes};
    return Timestamp::make(whole.count(), nanos);
}

}  // namespace quarlin
