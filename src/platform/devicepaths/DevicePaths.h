// The hook through which readers open device paths. The system names disks /dev/diskN and
// /dev/rdiskN; on Linux a mapper installed at start-up turns those names into the device
// nodes of this machine. Without a mapper every path opens as given.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quarlin::platform {

using DevicePathMapper = std::function<std::optional<std::string>(std::string_view path)>;

// Process-wide; an empty mapper restores opening every path as given.
void setDevicePathMapper(DevicePathMapper mapper);

// The mapper's answer for `path`, or `path` itself when there is no mapper or it has none.
std::string devicePathToOpen(std::string_view path);

}  // namespace quarlin::platform
