#include "LoopDevice.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include "platform/diskarb/MountTable.h"
#include "platform/registry/BSDNameTable.h"

namespace quarlin::testing {

namespace fs = std::filesystem;

std::optional<std::string> runCommand(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    std::array<char, 512> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
    if (::pclose(pipe) != 0) return std::nullopt;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

LoopDevice::LoopDevice(int megabytes) {
    if (::geteuid() != 0) return;
    lockFD_ = ::open("/tmp/quarlin-disk-stack-loop.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lockFD_ >= 0) ::flock(lockFD_, LOCK_EX);
    char pattern[] = "/tmp/quarlin-loop-XXXXXX";
    if (!::mkdtemp(pattern)) return;
    directory_ = pattern;
    mountPoint_ = directory_ / "mnt";
    fs::create_directory(mountPoint_);
    fs::path image = directory_ / "volume.img";
    sizeBytes_ = static_cast<std::uint64_t>(megabytes) << 20;
    if (!runCommand("truncate -s " + std::to_string(megabytes) + "M " + image.string()) ||
        !runCommand("mkfs.ext4 -q -F " + image.string()))
        return;
    if (auto node = runCommand("losetup --find --show " + image.string())) node_ = *node;
}

LoopDevice::~LoopDevice() {
    if (!mountPoint_.empty()) {
        while (isMounted() && ::umount2(mountPoint_.c_str(), MNT_DETACH) == 0) {
        }
    }
    if (!node_.empty()) runCommand("losetup -d " + node_);
    if (!directory_.empty()) {
        std::error_code error;
        fs::remove_all(directory_, error);
    }
    if (lockFD_ >= 0) ::close(lockFD_);  // releases the lock
}

std::string LoopDevice::kernelName() const { return fs::path(node_).filename().string(); }

bool LoopDevice::mount() {
    return attached() && ::mount(node_.c_str(), mountPoint_.c_str(), "ext4", 0, nullptr) == 0;
}

bool LoopDevice::isMounted() const {
    auto table = platform::readMountTable("/proc/self/mountinfo");
    if (!table) return false;
    for (const auto& entry : *table)
        if (entry.target == mountPoint_.string()) return true;
    return false;
}

std::optional<std::string> LoopDevice::bsdName() const {
    auto table = platform::BSDNameTable::build("/sys");
    if (!table) return std::nullopt;
    const auto* device = table->byKernelName(kernelName());
    if (!device) return std::nullopt;
    return device->bsdName;
}

}  // namespace quarlin::testing
