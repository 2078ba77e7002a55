// The device a path's file system was mounted from, under the system's disk names: the
// mount-table entry of the path's device number, its source translated to /dev/diskN...
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/diskarb/DiskStackRoots.h"

namespace quarlin::platform {

// "/dev/disk0s2" for a path on a disk-backed file system; the mount source as written
// ("proc", "tmpfs", "server:/export") for others; none when the path does not exist or its
// file system is not in the mount table.
std::optional<std::string> mountedFromName(std::string_view path, const DiskStackRoots& roots = {});

}  // namespace quarlin::platform
