#include "DiskAccess/DiskArbitrationService.h"

#include <algorithm>
#include <cctype>

namespace quarlin {

using platform::PropertyDictionary;
using platform::PropertyValue;

DiskArbitrationService::DiskArbitrationService() : DiskArbitrationService(platform::DiskStackRoots{}) {}

DiskArbitrationService::DiskArbitrationService(platform::DiskStackRoots roots)
    : platform_(std::make_shared<const Platform>(std::move(roots))) {}

DiskArbitrationService::Platform::Platform(platform::DiskStackRoots roots)
    : registry_(roots.sysfsRoot, roots.deviceDirectory) {
    auto queue = std::make_shared<platform::DispatchQueue>(std::string(sessionQueueLabel));
    session_ = platform::DASession::create(std::move(roots));
    if (session_) session_->setDispatchQueue(std::move(queue));
}

runtime::Task<std::vector<DiskInfo>> DiskArbitrationService::enumerateDisks() {
    // Every platform call below is synchronous, so an enumeration runs on the actor from
    // start to end and two of them never interleave.
    return isolated([platform = platform_]() -> runtime::Task<std::vector<DiskInfo>> { co_return platform->enumerateNow(); });
}

runtime::Task<PropertyDictionary> DiskArbitrationService::ioKitProperties(std::string bsdName) {
    return isolated([platform = platform_, bsdName = std::move(bsdName)]() -> runtime::Task<PropertyDictionary> {
        co_return platform->propertiesNow(bsdName);
    });
}

namespace {

template <class T>
std::optional<T> propertyAs(const PropertyDictionary& properties, const char* key) {
    auto it = properties.find(key);
    if (it == properties.end()) return std::nullopt;
    if (const T* value = std::get_if<T>(&it->second)) return *value;
    return std::nullopt;
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool containsLowercased(const std::optional<std::string>& text, std::string_view word) {
    return text && lowercased(*text).find(word) != std::string::npos;
}

}  // namespace

std::vector<DiskInfo> DiskArbitrationService::Platform::enumerateNow() const {
    std::vector<DiskInfo> disks;
    if (!session_) return disks;
    auto objects = registry_.matchingServices(platform::serviceMatching(platform::kIOMediaClass));
    if (!objects) return disks;

    // One read of the mount table for the whole listing.
    const auto mounts = platform::readMountTable(session_->roots().mountTable);
    for (const auto& object : *objects) {
        auto properties = registry_.properties(*object);
        if (!properties || properties->empty()) continue;
        auto bsdName = propertyAs<std::string>(*properties, "BSD Name");
        if (!bsdName) continue;

        DiskInfo info;
        info.id = UUID::random();
        info.bsdName = *bsdName;
        info.isWholeDisk = propertyAs<bool>(*properties, "Whole").value_or(false);
        info.isRemovable = propertyAs<bool>(*properties, "Removable").value_or(false);
        info.totalBytes = propertyAs<std::uint64_t>(*properties, "Size");
        info.connectionType = diskenumeration::connectionType(registry_, object);
        info.isInternal = diskenumeration::isInternal(info.connectionType, info.isRemovable);

        // From the same snapshot of the disk table as the registry's objects.
        const platform::BlockDevice* media = object->media();
        auto description = media ? session_->diskFor(*media).copyDescription(&mounts) : std::nullopt;
        if (description) {
            info.filesystemType = description->volumeKind.value_or("");
            if (description->volumePath)
                info.mountPoint = diskenumeration::mountPointPath(*description->volumePath);
            info.isVirtual = containsLowercased(description->deviceProtocol, "virtual") ||
                             containsLowercased(description->deviceModel, "disk image");
        }
        disks.push_back(std::move(info));
    }
    diskenumeration::sortForListing(disks);
    return disks;
}

PropertyDictionary DiskArbitrationService::Platform::propertiesNow(const std::string& bsdName) const {
    auto object = registry_.matchingService(platform::bsdNameMatching(bsdName));
    if (!object) return {};
    return registry_.properties(*object).value_or(PropertyDictionary{});
}

namespace diskenumeration {

std::optional<std::string> connectionTypeForClassName(std::string_view className) {
    static constexpr std::pair<std::string_view, std::string_view> tests[] = {
        {"USB", "USB"}, {"SD", "SD"}, {"Thunderbolt", "Thunderbolt"}, {"NVMe", "NVMe"}, {"PCI", "PCIe"},
    };
    for (const auto& [word, type] : tests)
        if (className.find(word) != std::string_view::npos) return std::string(type);
    return std::nullopt;
}

std::optional<std::string> connectionType(const platform::DeviceRegistry& registry,
                                          const platform::RegistryObject& media) {
    constexpr int maximumAncestors = 8;
    platform::RegistryObject current = media;  // a reference of our own
    for (int level = 0; level < maximumAncestors; ++level) {
        platform::RegistryObject parent = registry.parentEntry(current, platform::kIOServicePlane);
        current = parent;  // the previous entry is let go here
        if (!current) return std::nullopt;
        std::string name = registry.className(*current);
        if (name.size() > 127) name.resize(127);
        if (auto type = connectionTypeForClassName(name)) return type;
    }
    return std::nullopt;
}

bool isInternal(const std::optional<std::string>& connectionType, bool isRemovable) {
    if (!connectionType) return !isRemovable;
    std::string type = lowercased(*connectionType);
    for (std::string_view external : {"usb", "sd", "thunderbolt"})
        if (type.find(external) != std::string::npos) return false;
    return true;
}

void sortForListing(std::vector<DiskInfo>& disks) {
    std::stable_sort(disks.begin(), disks.end(), [](const DiskInfo& a, const DiskInfo& b) {
        if (a.isWholeDisk != b.isWholeDisk) return a.isWholeDisk;
        return a.bsdName < b.bsdName;
    });
}

std::string mountPointPath(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace diskenumeration

}  // namespace quarlin
