// Where the disk stand-ins read this machine: sysfs, the mount table and the device
// directory. Tests point them at fixture trees.
#pragma once

#include <filesystem>

namespace quarlin::platform {

struct DiskStackRoots {
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path mountTable = "/proc/self/mountinfo";
    std::filesystem::path deviceDirectory = "/dev";
};

}  // namespace quarlin::platform
