// Disk arbitration on Linux: descriptions of disks (file-system kind from libblkid, mount
// point from the mount table, protocol and model from sysfs) and unmounting through
// umount2(2). A session delivers unmount results on the serial queue it is scheduled on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/diskarb/DiskStackRoots.h"
#include "platform/diskarb/MountTable.h"
#include "platform/registry/BSDNameTable.h"
#include "runtime/Runtime.h"

namespace quarlin::platform {

// A labelled serial queue: work items run one at a time, in order, on the shared pool.
class DispatchQueue {
public:
    explicit DispatchQueue(std::string label);
    const std::string& label() const { return label_; }
    void async(std::function<void()> work);

private:
    std::string label_;
    runtime::Strand strand_;
};

struct DiskDescription {
    std::optional<std::string> volumeKind;      // "ext4", "vfat", "crypto_LUKS", ...
    std::optional<std::string> volumePath;      // mount point, when mounted
    std::optional<std::string> deviceProtocol;  // "USB", "SATA", "PCI-Express", "Virtual Interface", ...
    std::optional<std::string> deviceModel;     // the drive's model; "Disk Image" for loop devices
};

// Status codes of a refused disk operation.
struct DissenterStatus {
    static constexpr std::uint32_t error = 0xF8DA0001;
    static constexpr std::uint32_t busy = 0xF8DA0002;
    static constexpr std::uint32_t badArgument = 0xF8DA0003;
    static constexpr std::uint32_t exclusiveAccess = 0xF8DA0004;
    static constexpr std::uint32_t noResources = 0xF8DA0005;
    static constexpr std::uint32_t notFound = 0xF8DA0006;
    static constexpr std::uint32_t notMounted = 0xF8DA0007;
    static constexpr std::uint32_t notPermitted = 0xF8DA0008;
    static constexpr std::uint32_t notPrivileged = 0xF8DA0009;
    static constexpr std::uint32_t notReady = 0xF8DA000A;
    static constexpr std::uint32_t notWritable = 0xF8DA000B;
    static constexpr std::uint32_t unsupported = 0xF8DA000C;

    static std::uint32_t fromErrno(int errnoValue);
};

struct Dissenter {
    std::uint32_t status = DissenterStatus::error;
    std::optional<std::string> statusString;
};

class DADisk;
using UnmountCallback = std::function<void(const DADisk& disk, const std::optional<Dissenter>& dissenter)>;

class DASession : public std::enable_shared_from_this<DASession> {
public:
    // None when the machine's block devices cannot be listed under `roots.sysfsRoot`.
    static std::shared_ptr<DASession> create(DiskStackRoots roots = {});

    // Unmount results are delivered on this queue; the session keeps it alive.
    void setDispatchQueue(std::shared_ptr<DispatchQueue> queue);
    const DiskStackRoots& roots() const { return roots_; }

    // A disk for a BSD name of the table ("disk2s1", or "/dev/disk2s1"); none when there
    // is no such disk now.
    std::optional<DADisk> createDisk(std::string_view bsdName);
    // The disk of a device of a table already read, so that a listing reads the table once.
    DADisk diskFor(const BlockDevice& device);

private:
    friend class DADisk;
    explicit DASession(DiskStackRoots roots) : roots_(std::move(roots)) {}
    void deliver(std::function<void()> work);

    DiskStackRoots roots_;
    std::shared_ptr<DispatchQueue> queue_;
};

class DADisk {
public:
    // The BSD name the disk was created for, without "/dev/".
    std::optional<std::string> bsdName() const;
    const BlockDevice& blockDevice() const { return device_; }

    // None when the device has gone away since the disk was created. `mounts`: the mount
    // table as read once for several disks; read afresh when not given.
    std::optional<DiskDescription> copyDescription(const std::optional<std::vector<MountEntry>>* mounts = nullptr) const;

    // Unmounts every mount of this device, innermost first, on the session's queue, then
    // calls `callback` there once: without a dissenter on success, otherwise with the
    // status that the failing umount2 maps to and its strerror text.
    void unmount(std::uint32_t options, UnmountCallback callback) const;

private:
    friend class DASession;
    DADisk(std::shared_ptr<DASession> session, BlockDevice device)
        : session_(std::move(session)), device_(std::move(device)) {}

    std::shared_ptr<DASession> session_;
    BlockDevice device_;
};

}  // namespace quarlin::platform
