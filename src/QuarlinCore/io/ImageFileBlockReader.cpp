#include "QuarlinCore/io/ImageFileBlockReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

#include "QuarlinCore/io/IOError.h"
#include "QuarlinCore/io/ReadBuffer.h"

namespace quarlin {

namespace {

// The last component of a path read as a file path: trailing slashes are ignored, and a
// path of slashes only names the root.
std::string lastPathComponent(std::string_view path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string_view::npos) return path.empty() ? std::string() : std::string("/");
    const auto trimmed = path.substr(0, end + 1);
    const auto slash = trimmed.rfind('/');
    return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

DeviceIdentity identityFor(const std::string& path, std::optional<DeviceIdentity> given) {
    if (given) return std::move(*given);
    return DeviceIdentity{path, std::nullopt, lastPathComponent(path)};
}

// Closes the descriptor unless construction got far enough to hand it to the reader.
struct DescriptorGuard {
    int fd;
    ~DescriptorGuard() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

std::string errnoText(int error) { return std::strerror(error); }

}  // namespace

ImageFileBlockReader::ImageFileBlockReader(std::string path, std::int64_t blockSize,
                                           std::optional<DeviceIdentity> identity)
    : blockSize_(blockSize), filePath_(std::move(path)), deviceIdentity_(identityFor(filePath_, std::move(identity))) {
    struct stat info {};
    if (::stat(filePath_.c_str(), &info) != 0) throw IOError::deviceNotFound(filePath_);

    // O_NONBLOCK keeps a FIFO at the path from blocking the open until a writer appears;
    // it is cleared again at once, and such a file then fails the size check below.
    DescriptorGuard file{::open(filePath_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) throw IOError::deviceNotFound(filePath_);
    if (::fstat(file.fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        // A directory opens for reading but holds no bytes to serve.
        throw IOError::deviceNotFound(filePath_);
    }
    if (const int flags = ::fcntl(file.fd, F_GETFL); flags >= 0) ::fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);

    const off_t size = ::lseek(file.fd, 0, SEEK_END);
    if (size < 0 || ::lseek(file.fd, 0, SEEK_SET) < 0) {
        throw IOError::general("Could not determine file size for " + filePath_ + ": " + errnoText(errno));
    }
    if (blockSize_ < 1) throw IOError::general("blockSize must be > 0.");

    file_ = std::make_shared<File>();
    file_->blockSize_ = blockSize_;
    file_->filePath_ = filePath_;
    file_->totalBlockCount_ = static_cast<std::uint64_t>(size) / static_cast<std::uint64_t>(blockSize_);
    file_->fileDescriptor_ = file.release();
}

ImageFileBlockReader::File::~File() {
    if (fileDescriptor_ >= 0) ::close(fileDescriptor_);
}

runtime::Task<Data> ImageFileBlockReader::readBlocks(std::uint64_t at, std::int64_t count) {
    return isolated([file = file_, at, count]() -> runtime::Task<Data> { co_return file->readOnActor(at, count); });
}

Data ImageFileBlockReader::File::readOnActor(std::uint64_t offset, std::int64_t count) const {
    if (count < 0) throw IOError::general("count must be >= 0.");
    if (count == 0) return {};

    // A range whose end does not fit in 64 bits lies past every file; it is refused like
    // any other range past the last whole block.
    const auto blocks = static_cast<std::uint64_t>(count);
    if (offset > totalBlockCount_ || blocks > totalBlockCount_ - offset) {
        throw IOError::outOfBounds(offset, count, totalBlockCount_);
    }

    // Within the file's measured size, so neither product overflows.
    const std::uint64_t position = offset * static_cast<std::uint64_t>(blockSize_);
    const std::int64_t byteLength = count * blockSize_;

    Data bytes = allocateReadBuffer(byteLength, count);
    std::size_t got = 0;
    // pread returns at most about 2 GiB per call, and may stop early on a signal: keep
    // reading until the range is complete or the file ends.
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fileDescriptor_, bytes.data() + got, bytes.size() - got,
                                  static_cast<off_t>(position + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            throw IOError::posixError(error, "pread failed at block " + std::to_string(offset) + ": " + errnoText(error));
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got != bytes.size()) {
        throw IOError::general("Short read: expected " + std::to_string(byteLength) + " bytes but got " +
                               std::to_string(got) + " at block " + std::to_string(offset) + " in " + filePath_ + ".");
    }
    return bytes;
}

}  // namespace quarlin
