#include "platform/diskarb/FileSystemStatus.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/diskarb/MountTable.h"
#include "platform/registry/BSDNameTable.h"

namespace quarlin::platform {

namespace fs = std::filesystem;

namespace {

bool isWithin(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/") return true;
    return path.starts_with(mountPoint) && (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

}  // namespace

std::optional<std::string> mountedFromName(std::string_view pathText, const DiskStackRoots& roots) {
    std::string path(pathText);
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0) return std::nullopt;
    auto table = readMountTable(roots.mountTable);
    if (!table) return std::nullopt;

    // Several entries may carry the device number (binds, over-mounts): take the one
    // whose mount point holds the path most closely.
    std::error_code error;
    std::string canonical = fs::weakly_canonical(path, error).string();
    const MountEntry* chosen = nullptr;
    for (const auto& entry : *table) {
        if (entry.major != ::major(status.st_dev) || entry.minor != ::minor(status.st_dev)) continue;
        if (!chosen) chosen = &entry;
        if (!error && isWithin(canonical, entry.target) &&
            (!isWithin(canonical, chosen->target) || entry.target.size() > chosen->target.size()))
            chosen = &entry;
    }
    if (!chosen) return std::nullopt;

    auto names = BSDNameTable::build(roots.sysfsRoot);
    if (!names) return chosen->source;
    const std::string& source = chosen->source;
    if (source.starts_with("/dev/")) {
        // /dev/mapper/vg-home and /dev/disk/by-uuid/... are links to the kernel's node.
        fs::path node = roots.deviceDirectory / source.substr(5);
        std::error_code linkError;
        fs::path resolved = fs::canonical(node, linkError);
        std::string kernelName = (linkError ? fs::path(source) : resolved).filename().string();
        if (const auto* device = names->byKernelName(kernelName)) return "/dev/" + device->bsdName;
    }
    // Sources such as /dev/root, or file systems (btrfs) that show one of their devices.
    if (const auto* device = names->byDeviceNumber(chosen->major, chosen->minor))
        return "/dev/" + device->bsdName;
    return source;
}

}  // namespace quarlin::platform
