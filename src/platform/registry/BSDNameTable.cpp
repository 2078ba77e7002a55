#include "platform/registry/BSDNameTable.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <map>
#include <tuple>

#include "platform/devicepaths/DevicePaths.h"
#include "platform/registry/SysfsFiles.h"

namespace quarlin::platform {

namespace fs = std::filesystem;

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares two runs of the same kind: digits by value, letters shorter first.
int compareRuns(std::string_view a, std::string_view b, bool digits) {
    if (digits) {
        while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
        while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

std::string_view takeRun(std::string_view& s) {
    std::size_t n = 1;
    bool digits = isDigit(s.front());
    while (n < s.size() && isDigit(s[n]) == digits) ++n;
    auto run = s.substr(0, n);
    s.remove_prefix(n);
    return run;
}

// 0 internal physical, 1 external physical, 2 virtual.
int diskGroup(const BlockDevice& disk) {
    if (disk.isVirtual) return 2;
    auto path = disk.sysfsPath.string();
    if (path.find("/usb") != std::string::npos) return 1;
    if (sysfs::readAttribute(disk.sysfsPath / "removable") == "1") return 1;
    return 0;
}

}  // namespace

bool kernelNameBefore(std::string_view a, std::string_view b) {
    while (!a.empty() && !b.empty()) {
        bool aDigits = isDigit(a.front());
        bool bDigits = isDigit(b.front());
        if (aDigits != bDigits) return aDigits;  // a digit run sorts before a letter run
        auto runA = takeRun(a);
        auto runB = takeRun(b);
        if (int c = compareRuns(runA, runB, aDigits); c != 0) return c < 0;
    }
    return a.empty() && !b.empty();
}

std::expected<BSDNameTable, std::string> BSDNameTable::build(const fs::path& sysfsRoot) {
    // Fail closed: a device whose attributes cannot be read (too many open files, say) fails
    // the whole table, since leaving it out could hand its name to another disk or report
    // it missing. Only a device that went away while being read is left out.
    auto gone = [](int error) { return error == ENOENT || error == ENODEV || error == ENXIO; };
    auto failure = [](const fs::path& path, int error) {
        return std::unexpected("cannot read " + path.string() + ": " + std::strerror(error));
    };
    std::error_code error;
    const fs::path classBlock = sysfsRoot / "class" / "block";
    fs::directory_iterator it(classBlock, error);
    if (error) return failure(classBlock, error.value());

    std::vector<BlockDevice> disks;
    std::vector<BlockDevice> partitions;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) return failure(classBlock, error.value());
        BlockDevice device;
        device.kernelName = it->path().filename().string();
        // Most machines have many empty devices (unused loop, zram, card slots): look at
        // the size through the link first and resolve the link only for the others.
        // The kernel counts `size` in 512-byte units whatever the logical block size.
        int readError = 0;
        auto sectors = sysfs::readUnsigned(it->path() / "size", &readError);
        if (!sectors) {
            if (gone(readError)) continue;
            return failure(it->path() / "size", readError);
        }
        if (*sectors == 0 || *sectors > UINT64_MAX / 512) continue;
        device.sizeBytes = *sectors * 512;
        char resolved[PATH_MAX];
        if (!::realpath(it->path().c_str(), resolved)) {
            if (gone(errno)) continue;  // a dangling link: the device is gone
            return failure(it->path(), errno);
        }
        device.sysfsPath = resolved;
        auto dev = sysfs::readAttribute(device.sysfsPath / "dev", &readError);
        if (!dev) {
            if (gone(readError)) continue;
            return failure(device.sysfsPath / "dev", readError);
        }
        auto number = sysfs::parseDeviceNumber(*dev);
        if (!number) return failure(device.sysfsPath / "dev", EINVAL);
        std::tie(device.major, device.minor) = *number;
        device.isVirtual = device.sysfsPath.string().find("/devices/virtual/") != std::string::npos;
        if (auto partition = sysfs::readUnsigned(device.sysfsPath / "partition", &readError)) {
            device.isWhole = false;
            device.partitionNumber = *partition;
            device.wholeDiskKernelName = device.sysfsPath.parent_path().filename().string();
            partitions.push_back(std::move(device));
            continue;
        }
        if (readError != ENOENT) return failure(device.sysfsPath / "partition", readError);
        device.wholeDiskKernelName = device.kernelName;
        // The kernel's number for this attachment of the disk, never reused while it runs;
        // missing before Linux 5.15.
        device.sequence = sysfs::readUnsigned(device.sysfsPath / "diskseq", &readError);
        if (!device.sequence && readError != ENOENT) return failure(device.sysfsPath / "diskseq", readError);
        disks.push_back(std::move(device));
    }

    std::vector<std::pair<int, BlockDevice>> grouped;
    grouped.reserve(disks.size());
    for (auto& disk : disks) {
        int group = diskGroup(disk);
        grouped.emplace_back(group, std::move(disk));
    }
    std::sort(grouped.begin(), grouped.end(), [](const auto& x, const auto& y) {
        if (x.first != y.first) return x.first < y.first;
        return kernelNameBefore(x.second.kernelName, y.second.kernelName);
    });
    std::sort(partitions.begin(), partitions.end(), [](const BlockDevice& x, const BlockDevice& y) {
        return x.partitionNumber < y.partitionNumber;
    });

    // A disk is named by its attachment's sequence number, so that its name stays while it
    // is attached, whatever comes and goes around it, every process names it alike, and a
    // name once given never points at another disk. Without sequence numbers, disks are
    // numbered in listing order.
    const bool bySequence = std::all_of(grouped.begin(), grouped.end(),
                                        [](const auto& entry) { return entry.second.sequence.has_value(); });
    BSDNameTable table;
    std::uint64_t index = 0;
    for (auto& [group, disk] : grouped) {
        disk.bsdName = "disk" + std::to_string(bySequence ? *disk.sequence : index++);
        std::string diskName = disk.bsdName;
        std::string kernelName = disk.kernelName;
        table.devices_.push_back(std::move(disk));
        for (auto& partition : partitions) {
            if (partition.wholeDiskKernelName != kernelName || !partition.bsdName.empty()) continue;
            partition.bsdName = diskName + "s" + std::to_string(partition.partitionNumber);
            table.devices_.push_back(partition);
        }
    }
    // Partitions whose disk was left out (it vanished) get no name and are not listed.
    return table;
}

const BlockDevice* BSDNameTable::byBSDName(std::string_view bsdName) const {
    for (const auto& device : devices_)
        if (device.bsdName == bsdName) return &device;
    return nullptr;
}

const BlockDevice* BSDNameTable::byKernelName(std::string_view kernelName) const {
    for (const auto& device : devices_)
        if (device.kernelName == kernelName) return &device;
    return nullptr;
}

const BlockDevice* BSDNameTable::byDeviceNumber(unsigned major, unsigned minor) const {
    for (const auto& device : devices_)
        if (device.major == major && device.minor == minor) return &device;
    return nullptr;
}

std::optional<std::string> BSDNameTable::nodeForDevicePath(std::string_view path,
                                                           const fs::path& deviceDirectory) const {
    constexpr std::string_view dev = "/dev/";
    if (path.substr(0, dev.size()) != dev) return std::nullopt;
    auto name = path.substr(dev.size());
    if (name.substr(0, 5) == "rdisk") name.remove_prefix(1);
    if (name.substr(0, 4) != "disk") return std::nullopt;
    const BlockDevice* device = byBSDName(name);
    if (!device) return std::nullopt;
    return (deviceDirectory / device->kernelName).string();
}

std::optional<std::string> mapBSDDevicePath(std::string_view path, const fs::path& sysfsRoot,
                                            const fs::path& deviceDirectory) {
    constexpr std::string_view dev = "/dev/";
    if (path.substr(0, dev.size()) != dev) return std::nullopt;
    auto rest = path.substr(dev.size());
    bool raw = rest.substr(0, 1) == "r";
    auto unraw = rest.substr(0, 5) == "rdisk" ? rest.substr(1) : rest;
    // /dev/disk/by-id/... and friends are Linux paths, not disk names.
    bool diskName = unraw.size() > 4 && unraw.substr(0, 4) == "disk" && isDigit(unraw[4]);
    if (!raw && !diskName) return std::nullopt;
    if (diskName) {
        auto table = BSDNameTable::build(sysfsRoot);
        // Never guess: a table that could not be read fails the open with the reason.
        if (!table) throw std::runtime_error("the machine's disk table could not be read: " + table.error());
        if (auto node = table->nodeForDevicePath(path, deviceDirectory)) return node;
    }
    // A name of the system's disk scheme that names no disk here, or another "/dev/r..."
    // node: open something that cannot exist, so the open fails as "not found".
    return (deviceDirectory / ".quarlin-no-such-disk" / rest).string();
}

void installBSDNameMapper(fs::path sysfsRoot, fs::path deviceDirectory) {
    setDevicePathMapper([sysfsRoot = std::move(sysfsRoot),
                         deviceDirectory = std::move(deviceDirectory)](std::string_view path) {
        return mapBSDDevicePath(path, sysfsRoot, deviceDirectory);
    });
}

}  // namespace quarlin::platform
