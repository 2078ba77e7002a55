// The block devices of this machine under the names the system uses for disks: whole
// disks diskN and their partitions diskNsP (P is the kernel's partition number). N is the
// kernel's sequence number of the disk's attachment (`diskseq`), so a name keeps pointing at
// one device while it stays attached and is never given to another; on kernels without it,
// disks are numbered 0, 1, ... in listing order. Built afresh from sysfs on every call; a
// table is an immutable snapshot.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarlin::platform {

struct BlockDevice {
    std::string kernelName;              // sda, sda1, nvme0n1p2, dm-0, loop3
    std::string bsdName;                 // disk0, disk0s1, ...
    std::filesystem::path sysfsPath;     // the device's own directory, symlinks resolved
    bool isWhole = true;                 // false for a partition
    std::string wholeDiskKernelName;     // the disk a partition belongs to; itself for a disk
    std::uint64_t partitionNumber = 0;   // 0 for a whole disk
    std::uint64_t sizeBytes = 0;         // always above 0: empty devices are left out
    unsigned major = 0;
    unsigned minor = 0;
    bool isVirtual = false;              // lives under devices/virtual (loop, dm, md, zram)
    std::optional<std::uint64_t> sequence;  // a whole disk's `diskseq`, where the kernel has it
};

class BSDNameTable {
public:
    // Reads `<sysfsRoot>/class/block`. Devices that go away while being read are left out;
    // any other failure to read (the directory, or an attribute of a device that is there)
    // fails the whole table with a description, rather than leave a disk out.
    static std::expected<BSDNameTable, std::string> build(const std::filesystem::path& sysfsRoot = "/sys");

    // Whole disks first, each followed by its partitions in partition-number order.
    const std::vector<BlockDevice>& devices() const { return devices_; }

    const BlockDevice* byBSDName(std::string_view bsdName) const;
    const BlockDevice* byKernelName(std::string_view kernelName) const;
    const BlockDevice* byDeviceNumber(unsigned major, unsigned minor) const;

    // "/dev/diskN..." or "/dev/rdiskN..." (exactly a name of the table) to its node under
    // `deviceDirectory`; none for every other path.
    std::optional<std::string> nodeForDevicePath(std::string_view path,
                                                 const std::filesystem::path& deviceDirectory) const;

private:
    std::vector<BlockDevice> devices_;
};

// Order of whole disks: internal physical disks, then external ones (on a USB bus or
// flagged removable), then virtual devices; within a group by kernel name, where runs of
// letters compare shorter first (sdz before sdaa) and runs of digits by value.
bool kernelNameBefore(std::string_view a, std::string_view b);

// Installs the process-wide device-path mapper so that /dev/diskN... and /dev/rdiskN...
// open this machine's device nodes. Any other path that begins with "/dev/r" is mapped to
// a node that does not exist, so only the raw disks of the table can be opened by that
// name (/dev/random or /dev/rtc0 are not disks). Other paths open as given.
void installBSDNameMapper(std::filesystem::path sysfsRoot = "/sys",
                          std::filesystem::path deviceDirectory = "/dev");

// The mapper that installBSDNameMapper installs, for callers that want it without
// installing it. Throws std::runtime_error when the disk table cannot be read.
std::optional<std::string> mapBSDDevicePath(std::string_view path,
                                            const std::filesystem::path& sysfsRoot,
                                            const std::filesystem::path& deviceDirectory);

}  // namespace quarlin::platform
