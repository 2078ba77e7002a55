#include "DiskAccess/PhysicalDeviceResolver.h"

#include "QuarlinCore/io/BSDDiskName.h"
#include "platform/diskarb/FileSystemStatus.h"
#include "platform/registry/DeviceRegistry.h"

namespace quarlin {

namespace {

using platform::DeviceRegistry;
using platform::RegistryObject;

// Depth-first over the parents in the IOService plane: the first storage-media ancestor
// that belongs to another whole disk than `current`, its BSD name exactly as read.
std::optional<std::string> findOtherDiskAncestor(const DeviceRegistry& registry, const RegistryObject& object,
                                                 const std::string& current, int depth) {
    if (depth > 11) return std::nullopt;
    auto parents = registry.parents(object, platform::kIOServicePlane);
    if (!parents) return std::nullopt;
    for (const auto& parent : *parents) {
        if (registry.conformsTo(*parent, platform::kIOMediaClass)) {
            auto name = registry.property(*parent, "BSD Name");
            if (name) {
                if (const auto* text = std::get_if<std::string>(&*name)) {
                    auto whole = BSDDiskName::wholeDisk(*text);
                    if (!whole || *whole != current) return *text;
                }
            }
        }
        if (auto found = findOtherDiskAncestor(registry, parent, current, depth + 1)) return found;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> PhysicalDeviceResolver::physicalDeviceID(std::string_view path) {
    return physicalDeviceID(path, platform::DiskStackRoots{});
}

std::optional<std::string> PhysicalDeviceResolver::physicalDeviceID(std::string_view path,
                                                                    const platform::DiskStackRoots& roots) {
    auto mountedFrom = platform::mountedFromName(path, roots);
    if (!mountedFrom || !mountedFrom->starts_with("/dev/")) return std::nullopt;
    auto current = BSDDiskName::wholeDisk(std::string_view(*mountedFrom).substr(5));
    if (!current) return std::nullopt;

    DeviceRegistry registry(roots.sysfsRoot, roots.deviceDirectory);
    constexpr int maximumHops = 6;
    for (int hop = 0; hop < maximumHops; ++hop) {
        auto object = registry.matchingService(platform::bsdNameMatching(*current));
        if (!object) return current;
        auto found = findOtherDiskAncestor(registry, object, *current, 0);
        if (!found) return current;
        auto next = BSDDiskName::wholeDisk(*found);
        if (!next || *next == *current) return current;
        current = std::move(next);
    }
    return current;
}

}  // namespace quarlin
