#include "cli/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarlin::cli {
namespace {

std::string failure(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::expected<MappedFile, std::string> MappedFile::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(failure("open", path));
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        if (S_ISDIR(info.st_mode)) errno = EISDIR;
        std::string reason = failure("read", path);
        ::close(fd);
        return std::unexpected(reason);
    }
    // The end offset gives the size of block devices too, for which st_size is 0.
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) {
        std::string reason = failure("read", path);
        ::close(fd);
        return std::unexpected(reason);
    }
    if (size == 0) {
        ::close(fd);
        return MappedFile(nullptr, 0);
    }
    void* address = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
    const int mapError = errno;
    ::close(fd);  // the mapping stays valid without the descriptor
    if (address == MAP_FAILED) {
        errno = mapError;
        return std::unexpected(failure("map", path));
    }
    return MappedFile(address, static_cast<std::size_t>(size));
}

MappedFile::MappedFile(MappedFile&& other) noexcept : address_(other.address_), size_(other.size_) {
    other.address_ = nullptr;
    other.size_ = 0;
}

MappedFile::~MappedFile() {
    if (address_) munmap(address_, size_);
}

}  // namespace quarlin::cli
