// Small, failure-tolerant readers of sysfs attribute files. Devices come and go while we
// read, so every read answers "none" instead of throwing when a file vanishes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quarlin::platform::sysfs {

// The file's contents without trailing whitespace, or none when it cannot be read; then
// `error`, when given, receives the errno of the failure (ENOENT for a file that is not
// there), and is 0 after a read that worked.
std::optional<std::string> readAttribute(const std::filesystem::path& file, int* error = nullptr);

// A decimal unsigned attribute such as `size` or `partition`; `error` as above, and EINVAL
// for text that is not such a number.
std::optional<std::uint64_t> readUnsigned(const std::filesystem::path& file, int* error = nullptr);

// The base name of a symlink's target (`subsystem` -> "pci"), or none.
std::optional<std::string> linkTargetName(const std::filesystem::path& link);

// The value of KEY=value in a `uevent` file, or none.
std::optional<std::string> ueventValue(const std::filesystem::path& deviceDirectory,
                                       std::string_view key);

// Parses "major:minor" as the kernel writes it in `dev`.
std::optional<std::pair<unsigned, unsigned>> parseDeviceNumber(std::string_view text);

}  // namespace quarlin::platform::sysfs
