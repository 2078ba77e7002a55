#include "platform/registry/DeviceRegistry.h"

#include <algorithm>

#include "platform/registry/SysfsFiles.h"

namespace quarlin::platform {

namespace fs = std::filesystem;

MatchingDictionary serviceMatching(std::string_view className) {
    return MatchingDictionary{std::string(className), std::nullopt};
}

MatchingDictionary bsdNameMatching(std::string_view bsdName) {
    return MatchingDictionary{std::string(kIOMediaClass), std::string(bsdName)};
}

DeviceRegistry::DeviceRegistry(fs::path sysfsRoot, fs::path deviceDirectory)
    : deviceDirectory_(std::move(deviceDirectory)) {
    // Device paths come back with symlinks resolved; the root must compare with them.
    std::error_code error;
    sysfsRoot_ = fs::weakly_canonical(sysfsRoot, error);
    if (error) sysfsRoot_ = std::move(sysfsRoot);
}

RegistryObject DeviceRegistry::makeMedia(const std::shared_ptr<const BSDNameTable>& table,
                                         const BlockDevice& device) const {
    auto entry = std::make_shared<RegistryEntry>();
    entry->kind_ = RegistryEntry::Kind::media;
    entry->sysfsPath_ = device.sysfsPath;
    entry->media_ = &device;
    entry->table_ = table;
    return entry;
}

RegistryObject DeviceRegistry::makeDevice(const std::shared_ptr<const BSDNameTable>& table,
                                          fs::path path) const {
    auto entry = std::make_shared<RegistryEntry>();
    entry->kind_ = RegistryEntry::Kind::device;
    entry->sysfsPath_ = std::move(path);
    entry->table_ = table;
    return entry;
}

std::optional<std::vector<RegistryObject>> DeviceRegistry::matchingServices(
    const MatchingDictionary& matching) const {
    auto built = BSDNameTable::build(sysfsRoot_);
    if (!built) return std::nullopt;
    auto table = std::make_shared<const BSDNameTable>(std::move(*built));
    std::vector<RegistryObject> found;
    // Only media objects can be matched: device ancestors are reached through parents.
    if (matching.className && *matching.className != kIOMediaClass) return found;
    for (const auto& device : table->devices()) {
        if (matching.bsdName && device.bsdName != *matching.bsdName) continue;
        found.push_back(makeMedia(table, device));
    }
    return found;
}

RegistryObject DeviceRegistry::matchingService(const MatchingDictionary& matching) const {
    auto found = matchingServices(matching);
    if (!found || found->empty()) return nullptr;
    return found->front();
}

namespace {

std::optional<bool> readFlag(const fs::path& file) {
    auto text = sysfs::readAttribute(file);
    if (text == "1") return true;
    if (text == "0") return false;
    return std::nullopt;
}

// Partition UUIDs are known only through the links that udev makes.
std::optional<std::string> partitionUUID(const fs::path& deviceDirectory, std::string_view kernelName) {
    std::error_code error;
    fs::directory_iterator it(deviceDirectory / "disk" / "by-partuuid", error);
    if (error) return std::nullopt;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) return std::nullopt;
        std::error_code linkError;
        auto target = fs::read_symlink(it->path(), linkError);
        if (!linkError && target.filename() == kernelName) return it->path().filename().string();
    }
    return std::nullopt;
}

}  // namespace

std::optional<PropertyDictionary> DeviceRegistry::properties(const RegistryEntry& entry) const {
    PropertyDictionary result;
    if (entry.kind() == RegistryEntry::Kind::device) {
        std::error_code error;
        if (!fs::exists(entry.sysfsPath() / "uevent", error)) return std::nullopt;
        result["IOClass"] = className(entry);
        result["Linux Device Path"] = entry.sysfsPath().string();
        if (auto subsystem = sysfs::linkTargetName(entry.sysfsPath() / "subsystem"))
            result["Linux Subsystem"] = *subsystem;
        if (auto driver = sysfs::linkTargetName(entry.sysfsPath() / "driver"))
            result["Linux Driver"] = *driver;
        return result;
    }

    const BlockDevice& device = *entry.media();
    // `size` is read again, not taken from the table: a device that went away since the
    // table was built has no properties, and one that shrank reports its present size.
    auto sectors = sysfs::readUnsigned(device.sysfsPath / "size");
    if (!sectors) return std::nullopt;
    fs::path wholeDisk = device.isWhole ? device.sysfsPath : device.sysfsPath.parent_path();

    result["BSD Name"] = device.bsdName;
    result["Whole"] = device.isWhole;
    result["Removable"] = readFlag(wholeDisk / "removable").value_or(false);
    if (*sectors <= UINT64_MAX / 512) result["Size"] = *sectors * 512;
    if (auto blockSize = sysfs::readUnsigned(wholeDisk / "queue" / "logical_block_size"))
        result["Preferred Block Size"] = *blockSize;
    if (auto readOnly = readFlag(device.sysfsPath / "ro")) result["Writable"] = !*readOnly;
    result["Linux Kernel Name"] = device.kernelName;
    result["Linux Device Node"] = (deviceDirectory_ / device.kernelName).string();
    result["Linux Device Number"] = std::to_string(device.major) + ":" + std::to_string(device.minor);
    if (!device.isWhole) {
        result["Partition Number"] = device.partitionNumber;
        if (auto uuid = partitionUUID(deviceDirectory_, device.kernelName)) result["Partition UUID"] = *uuid;
    }
    return result;
}

std::optional<PropertyValue> DeviceRegistry::property(const RegistryEntry& entry,
                                                      std::string_view key) const {
    if (entry.kind() == RegistryEntry::Kind::media && key == "BSD Name") {
        std::error_code error;
        if (!fs::exists(entry.sysfsPath(), error)) return std::nullopt;
        return entry.media()->bsdName;
    }
    auto all = properties(entry);
    if (!all) return std::nullopt;
    auto it = all->find(std::string(key));
    if (it == all->end()) return std::nullopt;
    return it->second;
}

fs::path DeviceRegistry::deviceParent(const fs::path& path) const {
    // Climb to the next directory that is a device (it has a `uevent`), skipping grouping
    // directories such as block/, nvme/ or mmc_host/; stop at <sysfs>/devices.
    const fs::path top = sysfsRoot_ / "devices";
    fs::path current = path;
    for (;;) {
        fs::path up = current.parent_path();
        if (up == current || up.string().size() <= top.string().size()) return {};
        std::error_code error;
        if (fs::exists(up / "uevent", error)) return up;
        current = up;
    }
}

std::optional<std::vector<RegistryObject>> DeviceRegistry::parents(const RegistryObject& entry,
                                                                   std::string_view plane) const {
    if (!entry || plane != kIOServicePlane) return std::nullopt;
    std::error_code error;
    if (!fs::exists(entry->sysfsPath(), error)) return std::nullopt;
    std::vector<RegistryObject> result;

    if (entry->kind() == RegistryEntry::Kind::media) {
        const BlockDevice& device = *entry->media();
        if (!device.isWhole) {
            if (const auto* disk = entry->table_->byKernelName(device.wholeDiskKernelName))
                result.push_back(makeMedia(entry->table_, *disk));
            return result;
        }
        // A stacked device sits on the media listed in slaves/.
        std::vector<std::string> slaves;
        fs::directory_iterator it(device.sysfsPath / "slaves", error);
        for (; !error && it != fs::directory_iterator(); it.increment(error))
            slaves.push_back(it->path().filename().string());
        std::sort(slaves.begin(), slaves.end(),
                  [](const std::string& a, const std::string& b) { return kernelNameBefore(a, b); });
        for (const auto& slave : slaves)
            if (const auto* media = entry->table_->byKernelName(slave))
                result.push_back(makeMedia(entry->table_, *media));
        if (!result.empty() || device.isVirtual) return result;
        // A physical disk hangs below the device its `device` link names.
        std::error_code linkError;
        fs::path parent = fs::canonical(device.sysfsPath / "device", linkError);
        if (linkError) parent = deviceParent(device.sysfsPath);
        if (!parent.empty()) result.push_back(makeDevice(entry->table_, std::move(parent)));
        return result;
    }

    fs::path parent = deviceParent(entry->sysfsPath());
    if (!parent.empty()) result.push_back(makeDevice(entry->table_, std::move(parent)));
    return result;
}

RegistryObject DeviceRegistry::parentEntry(const RegistryObject& entry, std::string_view plane) const {
    auto all = parents(entry, plane);
    if (!all || all->empty()) return nullptr;
    return all->front();
}

namespace {

// True when the nearest PCI function at or above `path` is connected through an
// external-facing (Thunderbolt or USB4) port: the kernel marks those "removable".
bool behindExternalPCIPort(fs::path path, const fs::path& top) {
    while (path.string().size() > top.string().size()) {
        if (sysfs::linkTargetName(path / "subsystem") == "pci")
            return sysfs::readAttribute(path / "removable") == "removable";
        path = path.parent_path();
    }
    return false;
}

}  // namespace

std::string DeviceRegistry::className(const RegistryEntry& entry) const {
    if (entry.kind() == RegistryEntry::Kind::media) return std::string(kIOMediaClass);
    // Names are chosen so that only the bus they name contains one of the words USB, SD,
    // Thunderbolt, NVMe or PCI.
    const fs::path& path = entry.sysfsPath();
    auto subsystem = sysfs::linkTargetName(path / "subsystem").value_or("");
    if (subsystem == "usb")
        return sysfs::ueventValue(path, "DEVTYPE") == "usb_interface" ? "LinuxUSBInterface" : "LinuxUSBDevice";
    if (subsystem == "mmc") {
        auto type = sysfs::readAttribute(path / "type").value_or("");
        return type.starts_with("SD") ? "LinuxSDCard" : "LinuxMMCCard";
    }
    std::string kind;
    if (subsystem == "pci") kind = "PCIDevice";
    else if (subsystem == "nvme") kind = "NVMeController";
    else if (subsystem == "nvme-subsystem") kind = "NVMeSubsystem";
    else if (subsystem == "mmc_host") kind = "MMCHost";
    else if (subsystem == "virtio") kind = "VirtioDevice";
    else if (subsystem == "thunderbolt") kind = "ThunderboltDevice";
    else if (subsystem == "platform") kind = "PlatformDevice";
    else if (subsystem == "scsi") {
        auto type = sysfs::ueventValue(path, "DEVTYPE").value_or("");
        kind = type == "scsi_host" ? "SCSIHost" : (type == "scsi_target" ? "SCSITarget" : "SCSIDevice");
    } else kind = "Device";
    if (subsystem != "thunderbolt" && behindExternalPCIPort(path, sysfsRoot_ / "devices"))
        return "LinuxThunderbolt" + kind;
    return "Linux" + kind;
}

bool DeviceRegistry::conformsTo(const RegistryEntry& entry, std::string_view name) const {
    return className(entry) == name;
}

}  // namespace quarlin::platform
