// A real loop device for tests: a temporary ext4 image attached with losetup, optionally
// mounted in a temporary directory. Everything is undone in the destructor, whatever
// state the test left it in.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quarlin::testing {

// Runs a shell command; its standard output, or none when it exits non-zero.
std::optional<std::string> runCommand(const std::string& command);

class LoopDevice {
public:
    // Attaches an ext4 image of `megabytes`; check `attached()` (false without root or loop support).
    explicit LoopDevice(int megabytes = 32);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    bool attached() const { return !node_.empty(); }
    const std::string& node() const { return node_; }          // /dev/loopN
    std::string kernelName() const;                            // loopN
    std::uint64_t sizeBytes() const { return sizeBytes_; }
    const std::filesystem::path& mountPoint() const { return mountPoint_; }

    bool mount();
    bool isMounted() const;
    // The device's name in this machine's BSD-name table, looked up now.
    std::optional<std::string> bsdName() const;

private:
    std::filesystem::path directory_;
    std::filesystem::path mountPoint_;
    std::string node_;
    std::uint64_t sizeBytes_ = 0;
};

}  // namespace quarlin::testing
