// A whole file (or block device) mapped read-only, viewed as bytes; unmapped when destroyed.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

namespace quarlin::cli {

class MappedFile {
  public:
    // The error is a one-line reason naming the path.
    static std::expected<MappedFile, std::string> open(const std::string& path);

    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&&) = delete;
    MappedFile(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const std::byte> bytes() const {
        return {static_cast<const std::byte*>(address_), size_};
    }

  private:
    MappedFile(void* address, std::size_t size) : address_(address), size_(size) {}
    void* address_;
    std::size_t size_;
};

}  // namespace quarlin::cli
