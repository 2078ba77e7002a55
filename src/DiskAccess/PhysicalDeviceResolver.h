// Which physical disk holds the file system of a path: the whole-disk name of the
// lowest disk beneath the volume, found by climbing the device registry through stacked
// devices (LUKS, LVM, md) to the disk they sit on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/diskarb/DiskStackRoots.h"

namespace quarlin {

struct PhysicalDeviceResolver {
    // "disk0" and the like; absent when the path cannot be traced to a disk.
    static std::optional<std::string> physicalDeviceID(std::string_view path);
    static std::optional<std::string> physicalDeviceID(std::string_view path, const platform::DiskStackRoots& roots);
};

}  // namespace quarlin
