// Where the disk stand-ins read this machine: sysfs, the mount table, the device
// directory and udev's device database. Tests point them at fixture trees.
#pragma once

#include <filesystem>

namespace quarlin::platform {

struct DiskStackRoots {
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path mountTable = "/proc/self/mountinfo";
    std::filesystem::path deviceDirectory = "/dev";
    std::filesystem::path udevDataDirectory = "/run/udev/data";
};

}  // namespace quarlin::platform
