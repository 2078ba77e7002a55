#include "DiskAccess/RawDiskBlockReader.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <limits>
#include <new>

#include "QuarlinCore/io/IOError.h"
#include "QuarlinCore/io/ReadBuffer.h"
#include "platform/devicepaths/DevicePaths.h"

namespace quarlin {

namespace {

std::string errorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

// Closes the descriptor unless ownership was handed on.
class OwnedDescriptor {
public:
    explicit OwnedDescriptor(int fd) : fd_(fd) {}
    ~OwnedDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Text after the last slash, trailing slashes ignored: /dev/rdisk4 gives rdisk4.
std::string lastPathComponent(const std::string& path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string::npos) return {};
    const auto slash = path.rfind('/', end);
    const auto start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end + 1 - start);
}

}  // namespace

RawDiskBlockReader::RawDiskBlockReader(std::string devicePath, std::int64_t blockSize,
                                       std::optional<DeviceIdentity> identity)
    : device_(std::make_shared<Device>(devicePath, blockSize)),
      blockSize_(device_->blockSize_),
      deviceIdentity_(identity ? std::move(*identity)
                               : DeviceIdentity{devicePath, std::nullopt, lastPathComponent(devicePath)}) {}

RawDiskBlockReader::Device::Device(std::string devicePath, std::int64_t blockSize) : devicePath_(std::move(devicePath)) {
    const std::string nodePath = platform::devicePathToOpen(devicePath_);
    OwnedDescriptor fd(::open(nodePath.c_str(), O_RDONLY));
    if (fd.get() < 0) {
        const int error = errno;
        throw IOError::posixError(error, "open(" + devicePath_ + ", O_RDONLY) failed: " + errorText(error));
    }

    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) != O_RDONLY) throw IOError::writeAccessDetected(devicePath_);

    // Only a block device or an image file holds blocks; a directory, a character device or
    // a pipe would report a geometry of nonsense.
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !(S_ISBLK(status.st_mode) || S_ISREG(status.st_mode))) {
        throw IOError::deviceNotFound(devicePath_);
    }

    int deviceBlockSize = 0;
    if (::ioctl(fd.get(), BLKSSZGET, &deviceBlockSize) == 0 && deviceBlockSize > 0) {
        blockSize_ = deviceBlockSize;
    } else {
        // Every later step divides by the block size and multiplies by it.
        if (blockSize <= 0) {
            throw IOError::general("Fallback block size must be > 0, got " + std::to_string(blockSize) + ".");
        }
        blockSize_ = blockSize;
    }

    std::uint64_t deviceBytes = 0;
    const std::uint64_t deviceBlocks =
        ::ioctl(fd.get(), BLKGETSIZE64, &deviceBytes) == 0 ? deviceBytes / static_cast<std::uint64_t>(blockSize_) : 0;
    if (deviceBlocks != 0) {
        totalBlockCount_ = deviceBlocks;
    } else {
        const off_t size = ::lseek(fd.get(), 0, SEEK_END);
        if (size >= 1) {
            totalBlockCount_ = static_cast<std::uint64_t>(size) / static_cast<std::uint64_t>(blockSize_);
            ::lseek(fd.get(), 0, SEEK_SET);
        }
    }

    if (S_ISBLK(status.st_mode) &&
        static_cast<std::size_t>(blockSize_) <= kLargeBufferAlignment) {
        direct_ = ::fcntl(fd.get(), F_SETFL, flags | O_DIRECT) == 0;
    }

    fd_ = fd.release();
}

RawDiskBlockReader::Device::~Device() {
    if (fd_ >= 0) ::close(fd_);
}

runtime::Task<std::uint64_t> RawDiskBlockReader::totalBlocks() {
    return isolated([device = device_]() -> runtime::Task<std::uint64_t> { co_return device->totalBlockCount_; });
}

runtime::Task<Data> RawDiskBlockReader::readBlocks(std::uint64_t at, std::int64_t count) {
    return isolated([device = device_, at, count]() -> runtime::Task<Data> { co_return device->readOnActor(at, count); });
}

std::optional<RawDiskBlockReader::ByteRange> RawDiskBlockReader::byteRangeOf(std::uint64_t offset, std::int64_t count,
                                                                             std::int64_t blockSize) {
    constexpr auto limit = std::numeric_limits<std::int64_t>::max();
    if (count < 0 || blockSize <= 0) return std::nullopt;
    if (offset > static_cast<std::uint64_t>(limit / blockSize)) return std::nullopt;
    if (count > limit / blockSize) return std::nullopt;
    const std::int64_t byteOffset = static_cast<std::int64_t>(offset) * blockSize;
    const std::int64_t byteLength = count * blockSize;
    // pread refuses a range whose end leaves the file-offset range.
    if (byteLength > limit - byteOffset) return std::nullopt;
    return ByteRange{byteOffset, byteLength};
}

// A direct read needs a buffer aligned to the device's block size; read buffers from
// kLargeBufferBytes up are page-aligned, smaller ones go through an aligned bounce buffer.
ssize_t RawDiskBlockReader::Device::readAt(std::byte* into, std::int64_t length, std::int64_t at) {
    const auto aligned = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % kLargeBufferAlignment == 0; };
    if (direct_) {
        ssize_t result;
        if (aligned(into)) {
            result = ::pread(fd_, into, static_cast<std::size_t>(length), at);
        } else {
            std::unique_ptr<std::byte[], void (*)(std::byte*)> bounce(
                static_cast<std::byte*>(::operator new(static_cast<std::size_t>(length), std::align_val_t{kLargeBufferAlignment})),
                [](std::byte* p) { ::operator delete(p, std::align_val_t{kLargeBufferAlignment}); });
            result = ::pread(fd_, bounce.get(), static_cast<std::size_t>(length), at);
            if (result > 0) std::memcpy(into, bounce.get(), static_cast<std::size_t>(result));
        }
        if (result >= 0 || errno != EINVAL) return result;
        // The device took O_DIRECT but not this transfer: read through the cache from now on.
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags == -1 || ::fcntl(fd_, F_SETFL, flags & ~O_DIRECT) != 0) {
            errno = EINVAL;
            return -1;
        }
        direct_ = false;
    }
    return ::pread(fd_, into, static_cast<std::size_t>(length), at);
}

// The byte range of blocks [offset, offset + count) inside the device, or an IOError.
RawDiskBlockReader::ByteRange RawDiskBlockReader::Device::checkedRange(std::uint64_t offset, std::int64_t count) const {
    if (count < 0) throw IOError::general("count must be >= 0.");
    if (count == 0) return {0, 0};  // an empty read is answered wherever it is asked
    const auto blocks = static_cast<std::uint64_t>(count);
    // Also refuses an offset + count past 2^64: such a range cannot end inside the device.
    if (offset > totalBlockCount_ || blocks > totalBlockCount_ - offset) {
        throw IOError::outOfBounds(offset, count, totalBlockCount_);
    }
    const auto range = byteRangeOf(offset, count, blockSize_);
    if (!range) {
        throw IOError::general("Block range at block " + std::to_string(offset) + " of " + std::to_string(count) +
                               " blocks cannot be addressed in bytes.");
    }
    return *range;
}

Data RawDiskBlockReader::Device::readOnActor(std::uint64_t offset, std::int64_t count) {
    const ByteRange range = checkedRange(offset, count);
    if (count == 0) return {};
    Data buffer = allocateReadBuffer(range.length, count);
    readRange(offset, range, buffer.data());
    return buffer;
}

// Linux moves at most about 2 GiB in one pread: a larger range is read in pieces, still
// without read-ahead. A piece cut short is followed up; a read that returns nothing ends the
// range short, which is an error.
void RawDiskBlockReader::Device::readRange(std::uint64_t offset, ByteRange range, std::byte* into) {
    constexpr std::int64_t kLargestPiece = std::int64_t{1} << 30;
    std::int64_t got = 0;
    while (got < range.length) {
        const ssize_t result = readAt(into + got, std::min(kLargestPiece, range.length - got), range.offset + got);
        if (result < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            throw IOError::posixError(error, "pread failed at block " + std::to_string(offset) + ": " + errorText(error));
        }
        if (result == 0) break;
        got += result;
    }
    if (got == range.length) return;
    throw IOError::general("Short read: expected " + std::to_string(range.length) + " bytes but pread returned " +
                           std::to_string(got) + ".");
}

runtime::Task<void> RawDiskBlockReader::readBlocksInto(std::uint64_t at, std::int64_t count, std::span<std::byte> into) {
    return isolated([device = device_, at, count, into]() -> runtime::Task<void> {
        const ByteRange range = device->checkedRange(at, count);
        if (static_cast<std::uint64_t>(range.length) != into.size()) {
            throw IOError::general("A read of " + std::to_string(range.length) + " bytes does not fit a buffer of " +
                                   std::to_string(into.size()) + " bytes.");
        }
        if (count > 0) device->readRange(at, range, into.data());
        co_return;
    });
}

}  // namespace quarlin
