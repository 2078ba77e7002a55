#include "platform/diskarb/DiskArbitration.h"

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <blkid.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>
#include <sys/mount.h>
#include <sys/stat.h>

#include "platform/diskarb/MountTable.h"
#include "platform/registry/SysfsFiles.h"

namespace quarlin::platform {

namespace fs = std::filesystem;

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)), strand_(asio::make_strand(runtime::sharedPool().get_executor())) {}

void DispatchQueue::async(std::function<void()> work) { asio::post(strand_, std::move(work)); }

std::uint32_t DissenterStatus::fromErrno(int errnoValue) {
    switch (errnoValue) {
        case EBUSY: return busy;
        case EINVAL: return notMounted;
        case ENOENT:
        case ENODEV:
        case ENXIO: return notFound;
        case EPERM: return notPrivileged;
        case EACCES: return notPermitted;
        case ENOMEM: return noResources;
        case EROFS: return notWritable;
        case ENOTSUP: return unsupported;
        case EAGAIN: return notReady;
        default: return error;
    }
}

std::shared_ptr<DASession> DASession::create(DiskStackRoots roots) {
    std::error_code error;
    if (!fs::is_directory(roots.sysfsRoot / "class" / "block", error)) return nullptr;
    return std::shared_ptr<DASession>(new DASession(std::move(roots)));
}

void DASession::setDispatchQueue(std::shared_ptr<DispatchQueue> queue) { queue_ = std::move(queue); }

void DASession::deliver(std::function<void()> work) {
    if (queue_) queue_->async(std::move(work));
    else asio::post(runtime::sharedPool(), std::move(work));
}

std::optional<DADisk> DASession::createDisk(std::string_view bsdName) {
    if (bsdName.starts_with("/dev/")) bsdName.remove_prefix(5);
    auto table = BSDNameTable::build(roots_.sysfsRoot);
    if (!table) return std::nullopt;
    const BlockDevice* device = table->byBSDName(bsdName);
    if (!device) return std::nullopt;
    return DADisk(shared_from_this(), *device);
}

DADisk DASession::diskFor(const BlockDevice& device) { return DADisk(shared_from_this(), device); }

std::optional<std::string> DADisk::bsdName() const {
    if (device_.bsdName.empty()) return std::nullopt;
    return device_.bsdName;
}

namespace {

std::optional<std::string> probeVolumeKind(const fs::path& node) {
    blkid_probe probe = blkid_new_probe_from_filename(node.c_str());
    if (!probe) return std::nullopt;
    std::optional<std::string> kind;
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE);
    blkid_probe_enable_partitions(probe, 0);
    if (blkid_do_safeprobe(probe) == 0) {
        const char* value = nullptr;
        std::size_t length = 0;
        if (blkid_probe_lookup_value(probe, "TYPE", &value, &length) == 0 && value)
            kind = std::string(value);
    }
    blkid_free_probe(probe);
    return kind;
}

// What says a device node's contents may have changed without reading them: writing
// through the node (mkfs, wipefs) updates its modification time, and a node made anew has
// another inode. Reading the device instead would cost real reads, since the kernel drops a
// block device's cache when its last user closes it.
std::optional<std::array<std::int64_t, 5>> nodeStamp(const fs::path& node) {
    struct stat st{};
    if (::stat(node.c_str(), &st) != 0) return std::nullopt;
    return std::array<std::int64_t, 5>{static_cast<std::int64_t>(st.st_ino), st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                                       st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

// Probed kinds by device, kept while the device's attachment, size and node stay as they
// were: listing disks does not probe each device again. Contents changed behind the node's
// back (through a loop device's backing file, say) are seen once the device changes.
struct ProbedKind {
    std::optional<std::uint64_t> sequence;
    std::uint64_t sizeBytes;
    std::array<std::int64_t, 5> stamp;
    std::optional<std::string> kind;
};
std::mutex probedMutex;
std::map<std::pair<unsigned, unsigned>, ProbedKind> probedKinds;
constexpr std::size_t kMaxProbedKinds = 4096;

std::optional<std::string> volumeKindOf(const fs::path& node, const BlockDevice& device,
                                        std::optional<std::uint64_t> sequence) {
    const auto stamp = nodeStamp(node);
    if (!stamp) return probeVolumeKind(node);
    const std::pair key{device.major, device.minor};
    {
        std::lock_guard lock(probedMutex);
        if (auto it = probedKinds.find(key); it != probedKinds.end() && it->second.sequence == sequence &&
                                             it->second.sizeBytes == device.sizeBytes &&
                                             it->second.stamp == *stamp) {
            return it->second.kind;
        }
    }
    auto kind = probeVolumeKind(node);
    std::lock_guard lock(probedMutex);
    if (probedKinds.size() >= kMaxProbedKinds) probedKinds.clear();
    probedKinds[key] = ProbedKind{sequence, device.sizeBytes, *stamp, kind};
    return kind;
}

// The file-system kind udev recorded when the device appeared (its blkid probe), so that
// a listing need not probe every device again; none when udev has no record of it.
std::optional<std::string> udevVolumeKind(const fs::path& udevData, const BlockDevice& device) {
    auto record = sysfs::readAttribute(udevData / ("b" + std::to_string(device.major) + ":" +
                                                   std::to_string(device.minor)));
    if (!record) return std::nullopt;
    constexpr std::string_view key = "E:ID_FS_TYPE=";
    std::string_view rest = *record;
    while (!rest.empty()) {
        auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (line.starts_with(key) && line.size() > key.size()) return std::string(line.substr(key.size()));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return std::nullopt;
}

// The mount point of a device: its first whole-file-system mount, else its first mount.
std::optional<std::string> mountPointOf(const std::vector<MountEntry>& table, const BlockDevice& device) {
    const MountEntry* first = nullptr;
    for (const auto& entry : table) {
        if (entry.major != device.major || entry.minor != device.minor) continue;
        if (entry.root == "/") return entry.target;
        if (!first) first = &entry;
    }
    if (first) return first->target;
    return std::nullopt;
}

std::string trimmed(std::string text) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
    text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
    return text;
}

// The transport of a physical disk, read off its position in the device tree.
std::optional<std::string> protocolOf(const fs::path& wholeDisk) {
    const std::string path = wholeDisk.string();
    auto has = [&](std::string_view part) { return path.find(part) != std::string::npos; };
    if (has("/usb")) return "USB";
    if (has("/mmc_host/")) return "Secure Digital";
    if (has("/nvme/") || has("/nvme-subsystem/")) return "PCI-Express";
    if (has("/ata")) return "SATA";
    if (has("/virtio")) return "VirtIO";
    if (has("/host")) return "SCSI";
    return std::nullopt;
}

}  // namespace

std::optional<DiskDescription> DADisk::copyDescription(const std::optional<std::vector<MountEntry>>* mounts) const {
    std::error_code error;
    if (!fs::exists(device_.sysfsPath / "dev", error)) return std::nullopt;
    const DiskStackRoots& roots = session_->roots();
    DiskDescription description;
    description.volumeKind = udevVolumeKind(roots.udevDataDirectory, device_);
    if (!description.volumeKind) {
        description.volumeKind = volumeKindOf(roots.deviceDirectory / device_.kernelName, device_, device_.sequence);
    }
    const auto table = mounts ? std::optional<std::vector<MountEntry>>() : readMountTable(roots.mountTable);
    const auto& mountTable = mounts ? *mounts : table;
    if (mountTable) description.volumePath = mountPointOf(*mountTable, device_);

    fs::path wholeDisk = device_.isWhole ? device_.sysfsPath : device_.sysfsPath.parent_path();
    if (device_.isVirtual) {
        if (device_.wholeDiskKernelName.starts_with("loop")) {
            description.deviceProtocol = "Virtual Interface";
            description.deviceModel = "Disk Image";
        }
    } else {
        description.deviceProtocol = protocolOf(wholeDisk);
        auto model = sysfs::readAttribute(wholeDisk / "device" / "model");
        if (!model) model = sysfs::readAttribute(wholeDisk / "device" / "name");
        if (model && !trimmed(*model).empty()) description.deviceModel = trimmed(*model);
    }
    return description;
}

void DADisk::unmount(std::uint32_t /*options*/, UnmountCallback callback) const {
    DADisk disk = *this;
    session_->deliver([disk = std::move(disk), callback = std::move(callback)]() {
        std::optional<Dissenter> dissenter;
        auto table = readMountTable(disk.session_->roots().mountTable);
        std::vector<std::string> targets;
        if (table) {
            for (const auto& entry : *table)
                if (entry.major == disk.device_.major && entry.minor == disk.device_.minor)
                    targets.push_back(entry.target);
        }
        if (!table) {
            dissenter = Dissenter{DissenterStatus::error, std::string("Mount table unavailable")};
        } else if (targets.empty()) {
            dissenter = Dissenter{DissenterStatus::notMounted, std::string(std::strerror(EINVAL))};
        }
        // Later mounts may sit on top of earlier ones: undo them first. A refusal part way
        // says which mounts were already undone (a bind mount, say), since they stay so.
        std::vector<std::string> undone;
        for (auto it = targets.rbegin(); !dissenter && it != targets.rend(); ++it) {
            if (::umount2(it->c_str(), 0) != 0) {
                int failure = errno;
                std::string reason = std::strerror(failure);
                if (!undone.empty()) {
                    reason += "; unmounted before the refusal:";
                    for (const auto& target : undone) reason += " " + target;
                }
                dissenter = Dissenter{DissenterStatus::fromErrno(failure), std::move(reason)};
            } else {
                undone.push_back(*it);
            }
        }
        callback(disk, dissenter);
    });
}

}  // namespace quarlin::platform
