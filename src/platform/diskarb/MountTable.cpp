#include "platform/diskarb/MountTable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string_view>

namespace quarlin::platform {

namespace {

// A mount table larger than this is not a table this process will read.
constexpr std::size_t kMaxTableBytes = std::size_t{64} << 20;

std::optional<std::string> readSmallFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || text.size() + static_cast<std::size_t>(got) > kMaxTableBytes) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

// The kernel writes space, tab, newline and backslash in a field as three octal digits.
std::string unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](std::size_t k) { return field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
            continue;
        }
        out.push_back(field[i]);
    }
    return out;
}

bool parseNumber(std::string_view text, unsigned& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// One line: ID PARENT MAJOR:MINOR ROOT TARGET OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
std::optional<MountEntry> parseLine(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) return std::nullopt;
    MountEntry entry;
    const std::string_view device = fields[2];
    const std::size_t colon = device.find(':');
    if (colon == std::string_view::npos || !parseNumber(device.substr(0, colon), entry.major) ||
        !parseNumber(device.substr(colon + 1), entry.minor))
        return std::nullopt;
    entry.root = unescape(fields[3]);
    entry.target = unescape(fields[4]);
    entry.fileSystemType = unescape(fields[separator + 1]);
    entry.source = unescape(fields[separator + 2]);
    return entry;
}

}  // namespace

std::vector<MountEntry> parseMountTable(std::string_view text) {
    std::vector<MountEntry> entries;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (auto entry = parseLine(line)) entries.push_back(std::move(*entry));
    }
    return entries;
}

std::optional<std::vector<MountEntry>> readMountTable(const std::filesystem::path& file) {
    const auto text = readSmallFile(file);
    if (!text) return std::nullopt;
    return parseMountTable(*text);
}

}  // namespace quarlin::platform
