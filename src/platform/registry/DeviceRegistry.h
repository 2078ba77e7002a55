// The device registry of this machine, read from sysfs. Media objects (class "IOMedia")
// are the block devices with a size above 0; their parents in the "IOService" plane are
// the whole disk of a partition, the media a stacked device sits on (slaves/), and, for a
// physical disk, its chain of sysfs device ancestors, each with a class name that names
// its bus (USB, SD, Thunderbolt, NVMe, PCI) so callers can tell how a disk is attached.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/registry/BSDNameTable.h"

namespace quarlin::platform {

using PropertyValue = std::variant<bool, std::uint64_t, std::int64_t, std::string>;
using PropertyDictionary = std::map<std::string, PropertyValue>;

inline constexpr std::string_view kIOServicePlane = "IOService";
inline constexpr std::string_view kIOMediaClass = "IOMedia";

// One registry object. Holding the shared pointer keeps it; dropping the last copy
// releases it. The object refers to sysfs by path, so a device that disappears leaves an
// object whose reads answer "none".
class RegistryEntry {
public:
    enum class Kind { media, device };

    Kind kind() const { return kind_; }
    const std::filesystem::path& sysfsPath() const { return sysfsPath_; }
    // The block device of a media object; null for a device ancestor.
    const BlockDevice* media() const { return media_; }

private:
    friend class DeviceRegistry;
    Kind kind_ = Kind::device;
    std::filesystem::path sysfsPath_;
    const BlockDevice* media_ = nullptr;
    std::shared_ptr<const BSDNameTable> table_;  // keeps media_ alive
};

using RegistryObject = std::shared_ptr<const RegistryEntry>;

// What to look for: all objects of a class, or the media object with a BSD name.
struct MatchingDictionary {
    std::optional<std::string> className;
    std::optional<std::string> bsdName;
};

MatchingDictionary serviceMatching(std::string_view className);
MatchingDictionary bsdNameMatching(std::string_view bsdName);

class DeviceRegistry {
public:
    explicit DeviceRegistry(std::filesystem::path sysfsRoot = "/sys",
                            std::filesystem::path deviceDirectory = "/dev");

    const std::filesystem::path& sysfsRoot() const { return sysfsRoot_; }
    const std::filesystem::path& deviceDirectory() const { return deviceDirectory_; }

    // Every matching object, in BSD-name-table order; none when sysfs cannot be read.
    std::optional<std::vector<RegistryObject>> matchingServices(const MatchingDictionary& matching) const;
    // The first matching object, or null.
    RegistryObject matchingService(const MatchingDictionary& matching) const;

    // All properties of an object; none when the object is gone. Media objects carry
    // "BSD Name", "Whole", "Removable", "Size" and the Linux extras listed in the .cpp.
    std::optional<PropertyDictionary> properties(const RegistryEntry& entry) const;
    std::optional<PropertyValue> property(const RegistryEntry& entry, std::string_view key) const;

    // Parents in `plane`, in a fixed order; none for another plane or a vanished object.
    std::optional<std::vector<RegistryObject>> parents(const RegistryObject& entry,
                                                       std::string_view plane) const;
    // The first parent in `plane`, or null.
    RegistryObject parentEntry(const RegistryObject& entry, std::string_view plane) const;

    std::string className(const RegistryEntry& entry) const;
    bool conformsTo(const RegistryEntry& entry, std::string_view className) const;

private:
    RegistryObject makeMedia(const std::shared_ptr<const BSDNameTable>& table,
                             const BlockDevice& device) const;
    RegistryObject makeDevice(const std::shared_ptr<const BSDNameTable>& table,
                              std::filesystem::path path) const;
    std::filesystem::path deviceParent(const std::filesystem::path& path) const;

    std::filesystem::path sysfsRoot_;
    std::filesystem::path deviceDirectory_;
};

}  // namespace quarlin::platform
