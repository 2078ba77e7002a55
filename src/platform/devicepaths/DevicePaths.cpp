#include "platform/devicepaths/DevicePaths.h"

#include <memory>
#include <mutex>

namespace quarlin::platform {

namespace {
std::mutex mapperLock;
std::shared_ptr<const DevicePathMapper> currentMapper;
}  // namespace

void setDevicePathMapper(DevicePathMapper mapper) {
    auto installed = mapper ? std::make_shared<const DevicePathMapper>(std::move(mapper)) : nullptr;
    std::lock_guard guard(mapperLock);
    currentMapper = std::move(installed);
}

std::string devicePathToOpen(std::string_view path) {
    std::shared_ptr<const DevicePathMapper> mapper;
    {
        std::lock_guard guard(mapperLock);
        mapper = currentMapper;
    }
    if (mapper) {
        if (auto mapped = (*mapper)(path)) return *mapped;
    }
    return std::string(path);
}

}  // namespace quarlin::platform
