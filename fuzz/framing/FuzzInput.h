// Splits a fuzzer's input into a few control values and the bytes under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace quarlin::fuzz {

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : bytes_(reinterpret_cast<const std::byte*>(data), size) {}

    // The next `width` bytes as a little-endian number (0 once the input runs out).
    std::uint64_t take(int width) {
        std::uint64_t v = 0;
        for (int i = 0; i < width && !bytes_.empty(); ++i) {
            v |= std::to_integer<std::uint64_t>(bytes_.front()) << (8 * i);
            bytes_ = bytes_.subspan(1);
        }
        return v;
    }
    std::span<const std::byte> rest() const { return bytes_; }

  private:
    std::span<const std::byte> bytes_;
};

// A failed check is a finding: abort so that libFuzzer reports the input.
inline void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace quarlin::fuzz
