// Bounds-checked cursor over bytes that the caller owns: the one place where format parsers
// index raw bytes. Every access is checked against the buffer before the cursor moves, and
// multi-byte integers are assembled explicitly, so no read depends on host order or alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <span>
#include <string>

namespace quarlin {

class ByteReaderError : public std::exception {
  public:
    struct OutOfBounds {
        std::int64_t offset;
        std::int64_t length;
        std::int64_t bufferSize;
        friend bool operator==(const OutOfBounds&, const OutOfBounds&) = default;
    };

    static ByteReaderError outOfBounds(std::int64_t offset, std::int64_t length,
                                       std::int64_t bufferSize) {
        return ByteReaderError(OutOfBounds{offset, length, bufferSize});
    }

    explicit ByteReaderError(OutOfBounds value);

    const OutOfBounds& value() const { return value_; }
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    OutOfBounds value_;
    std::string description_;
};

// A value type: copies are independent cursors over the same bytes, which must outlive them.
// The offset is not validated on construction; a bad one shows up as the next access failing.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::byte> data, std::int64_t offset = 0)
        : data_(data), offset_(offset) {}

    std::span<const std::byte> data() const { return data_; }
    std::int64_t offset() const { return offset_; }
    // Negative past the end; a start far below 0 saturates instead of overflowing.
    std::int64_t bytesRemaining() const {
        std::int64_t remaining = 0;
        if (__builtin_sub_overflow(size(), offset_, &remaining)) return std::numeric_limits<std::int64_t>::max();
        return remaining;
    }

    // Accepts 0 <= target <= data().size(); otherwise throws with length 0 and keeps the cursor.
    void seek(std::int64_t target);

    // The bytes [at, at + length) as a view into data(). Negative values, and ranges whose end
    // would not fit in 64 bits, are out of bounds like any other range past the end.
    std::span<const std::byte> peekBytes(std::int64_t at, std::int64_t length) const {
        check(at, length);
        return data_.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
    }

    std::span<const std::byte> readBytes(std::int64_t count) {
        const auto bytes = peekBytes(offset_, count);
        offset_ += count;
        return bytes;
    }

    std::uint8_t readU8() { return advance<std::uint8_t, Order::little>(); }
    std::uint16_t readU16LE() { return advance<std::uint16_t, Order::little>(); }
    std::uint32_t readU32LE() { return advance<std::uint32_t, Order::little>(); }
    std::uint64_t readU64LE() { return advance<std::uint64_t, Order::little>(); }
    std::uint16_t readU16BE() { return advance<std::uint16_t, Order::big>(); }
    std::uint32_t readU32BE() { return advance<std::uint32_t, Order::big>(); }
    std::uint64_t readU64BE() { return advance<std::uint64_t, Order::big>(); }

    std::uint8_t peekU8(std::int64_t at) const { return assemble<std::uint8_t, Order::little>(at); }
    std::uint16_t peekU16LE(std::int64_t at) const {
        return assemble<std::uint16_t, Order::little>(at);
    }
    std::uint16_t peekU16BE(std::int64_t at) const {
        return assemble<std::uint16_t, Order::big>(at);
    }
    std::uint32_t peekU32LE(std::int64_t at) const {
        return assemble<std::uint32_t, Order::little>(at);
    }
    std::uint32_t peekU32BE(std::int64_t at) const {
        return assemble<std::uint32_t, Order::big>(at);
    }
    std::uint64_t peekU64LE(std::int64_t at) const {
        return assemble<std::uint64_t, Order::little>(at);
    }

  private:
    enum class Order { little, big };

    std::int64_t size() const { return static_cast<std::int64_t>(data_.size()); }

    // Written as `length > size - at` so that no sum can overflow.
    void check(std::int64_t at, std::int64_t length) const {
        if (at < 0 || length < 0 || at > size() || length > size() - at) [[unlikely]]
            throwOutOfBounds(at, length, size());
    }

    [[noreturn]] static void throwOutOfBounds(std::int64_t at, std::int64_t length,
                                              std::int64_t bufferSize);

    template <typename T, Order order>
    T assemble(std::int64_t at) const {
        constexpr std::int64_t width = sizeof(T);
        check(at, width);
        const std::byte* p = data_.data() + at;
        T value = 0;
        for (std::int64_t i = 0; i < width; ++i) {
            const T byte = std::to_integer<T>(p[i]);
            value |= static_cast<T>(byte << (8 * (order == Order::little ? i : width - 1 - i)));
        }
        return value;
    }

    template <typename T, Order order>
    T advance() {
        const T value = assemble<T, order>(offset_);
        offset_ += static_cast<std::int64_t>(sizeof(T));
        return value;
    }

    std::span<const std::byte> data_;
    std::int64_t offset_;
};

}  // namespace quarlin
