// A real loop device for tests: a temporary ext4 image attached with losetup, optionally
// mounted in a temporary directory. Everything is undone in the destructor, whatever
// state the test left it in.
//
// Tests find their device in a listing by its size (37 MiB, which nothing else uses) and
// hold an inter-process lock so that only one of them has such a loop device at a time.
#pragma once

#include <filesystem>
#include <optional>
#include <utility>
#include <string>

#include "platform/diskarb/DiskStackRoots.h"

namespace quarlin::testing {

// A machine of the registry fixtures: its sysfs tree, and its mount table, device nodes and udev
// records beside it.
inline std::filesystem::path fixture(const std::string& name) {
    return std::filesystem::path(QUARLIN_REGISTRY_FIXTURES) / name;
}
inline platform::DiskStackRoots fixtureRoots(const std::string& name) {
    return {fixture(name), fixture(name) / "mountinfo", fixture(name) / "dev", fixture(name) / "udev"};
}

// Runs a shell command; its standard output, or none when it exits non-zero.
std::optional<std::string> runCommand(const std::string& command);

class LoopDevice {
public:
    // Attaches an ext4 image of `megabytes`; check `attached()` (false without root or loop support).
    explicit LoopDevice(int megabytes = 37);
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

    // Runs `step(name)` until the device had the same name before and after it (at most
    // five times) and returns the name and the last result.
    template <class Step>
    auto withStableName(Step step) const -> std::pair<std::string, decltype(step(std::string()))> {
        for (int attempt = 1;; ++attempt) {
            std::string before = bsdName().value_or("");
            auto result = step(before);
            if (bsdName().value_or("") == before || attempt == 5) return {before, std::move(result)};
        }
    }

private:
    int lockFD_ = -1;
    std::filesystem::path directory_;
    std::filesystem::path mountPoint_;
    std::string node_;
    std::uint64_t sizeBytes_ = 0;
};

}  // namespace quarlin::testing
