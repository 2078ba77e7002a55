#include "platform/registry/SysfsFiles.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace quarlin::platform::sysfs {

std::optional<std::string> readAttribute(const std::filesystem::path& file, int* error) {
    int ignored = 0;
    int& failure = error ? *error : ignored;
    failure = 0;
    // Plain read(2): attribute files are small, and iostreams cost more than the read.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failure = errno;
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > (1u << 20)) break;  // no attribute is this large; stop reading
    }
    ::close(fd);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' ||
                             text.back() == '\r' || text.back() == '\0'))
        text.pop_back();
    return text;
}

std::optional<std::uint64_t> readUnsigned(const std::filesystem::path& file, int* error) {
    auto text = readAttribute(file, error);
    if (!text) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, parsed] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (text->empty() || parsed != std::errc() || end != text->data() + text->size()) {
        if (error) *error = EINVAL;
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> linkTargetName(const std::filesystem::path& link) {
    std::error_code error;
    auto target = std::filesystem::read_symlink(link, error);
    if (error) return std::nullopt;
    auto name = target.filename().string();
    if (name.empty()) return std::nullopt;
    return name;
}

std::optional<std::string> ueventValue(const std::filesystem::path& deviceDirectory,
                                       std::string_view key) {
    auto text = readAttribute(deviceDirectory / "uevent");
    if (!text) return std::nullopt;
    std::string_view rest = *text;
    while (!rest.empty()) {
        auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
            return std::string(line.substr(key.size() + 1));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return std::nullopt;
}

std::optional<std::pair<unsigned, unsigned>> parseDeviceNumber(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    unsigned major = 0;
    unsigned minor = 0;
    auto first = std::from_chars(text.data(), text.data() + colon, major);
    if (first.ec != std::errc() || first.ptr != text.data() + colon || colon == 0) return std::nullopt;
    auto second = std::from_chars(text.data() + colon + 1, text.data() + text.size(), minor);
    if (second.ec != std::errc() || second.ptr != text.data() + text.size() || colon + 1 == text.size())
        return std::nullopt;
    return std::pair{major, minor};
}

}  // namespace quarlin::platform::sysfs
