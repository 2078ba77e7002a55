// The mount table (a mountinfo file), read and unescaped the way the kernel writes it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarlin::platform {

struct MountEntry {
    std::string source;  // as mounted: /dev/sda1, /dev/mapper/vg-home, proc, server:/export
    std::string target;  // the mount point
    std::string root;    // the directory of the file system that is mounted there ("/" unless a bind)
    std::string fileSystemType;
    unsigned major = 0;  // the device number of the mounted file system
    unsigned minor = 0;
};

// The entries in table order; none when the file cannot be read or is too large to be one.
std::optional<std::vector<MountEntry>> readMountTable(const std::filesystem::path& file);

// The entries of a mountinfo text; lines that are not a mount are passed over. Any text: mount
// points and sources are chosen by whoever mounts (a user's FUSE mount, say).
std::vector<MountEntry> parseMountTable(std::string_view text);

}  // namespace quarlin::platform
