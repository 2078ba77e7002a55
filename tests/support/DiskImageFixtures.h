// Real files and real loop devices for the reader and service tests: temporary folders,
// images with a recognisable pattern, the device-path hook pointed at them, and loop devices
// that are detached on every path.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "QuarlinCore/io/Data.h"
#include "platform/devicepaths/DevicePaths.h"

namespace quarlin::fixtures {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarlin-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Bytes that differ from block to block and within a block, so a read of the wrong range
// or a shifted buffer never compares equal.
inline Data patternBytes(std::size_t size, unsigned seed = 1) {
    Data bytes(size);
    std::uint32_t state = 2463534242u ^ seed;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<std::byte>(state);
    }
    return bytes;
}

inline void writeFile(const std::string& path, const Data& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline Data slice(const Data& bytes, std::size_t offset, std::size_t length) {
    return Data(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

// A test with a folder of its own, and pattern files written into it.
class PatternFileTest : public ::testing::Test {
protected:
    std::string pathFor(const std::string& name) const { return dir_.file(name); }
    std::string writePatternFile(const std::string& name, std::size_t length) {
        written_ = patternBytes(length);
        writeFile(pathFor(name), written_);
        return pathFor(name);
    }
    // Bytes [at, at + length) of the file written last.
    Data writtenBytes(std::size_t at, std::size_t length) const { return slice(written_, at, length); }

    TempDir dir_;
    Data written_;
};

// Points the process-wide device-path hook at test files for the life of the object.
class DevicePathMapping {
public:
    explicit DevicePathMapping(std::map<std::string, std::string> table) {
        platform::setDevicePathMapper([table = std::move(table)](std::string_view path) -> std::optional<std::string> {
            auto it = table.find(std::string(path));
            if (it == table.end()) return std::nullopt;
            return it->second;
        });
    }
    ~DevicePathMapping() { platform::setDevicePathMapper({}); }
    DevicePathMapping(const DevicePathMapping&) = delete;
    DevicePathMapping& operator=(const DevicePathMapping&) = delete;
};

// The whole output of a shell command without its final newlines; empty when it fails.
inline std::string shellOutput(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[256];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    if (!pipe || ::pclose(pipe) != 0) return "";
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

// A read-only loop device over an image file; detached when destroyed.
class LoopDevice {
public:
    static std::optional<LoopDevice> attach(const std::string& image, int sectorSize = 512) {
        if (::geteuid() != 0) return std::nullopt;
        auto device = shellOutput("losetup --find --show -r --sector-size " + std::to_string(sectorSize) + " '" +
                                  image + "' 2>/dev/null");
        if (device.rfind("/dev/loop", 0) != 0) return std::nullopt;
        return LoopDevice(device);
    }
    LoopDevice(LoopDevice&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    LoopDevice& operator=(LoopDevice&&) = delete;
    ~LoopDevice() {
        if (path_.empty()) return;
        [[maybe_unused]] const int status = std::system(("losetup -d " + path_ + " 2>/dev/null").c_str());
    }
    const std::string& path() const { return path_; }

private:
    explicit LoopDevice(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

inline std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

}  // namespace quarlin::fixtures
