// Folding of long byte ranges for CRCs that take each byte's highest bit first (FLAC's CRC-16,
// Ogg's CRC-32) by carry-less multiplication: the range becomes one block of sixteen bytes that
// leaves the same remainder, and the caller's tables finish that block and the bytes after it.
// A CRC that takes each byte's lowest bit first is the mirror of one that takes the highest
// first over the bytes mirrored, from the mirrored register: a `mirrored` folder mirrors the
// bytes as it loads them (not the bytes after the last block, which the caller mirrors).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarlin {

class MSBFirstFolder {
public:
    // Ranges shorter than this are left to the tables.
    static constexpr std::size_t kFoldFrom = 128;

    // `polynomial` without its highest term, of `width` bits (16 or 32).
    MSBFirstFolder(std::uint32_t polynomial, unsigned width, bool mirrored = false);

    // Whether this processor can fold (x86-64 with carry-less multiplication).
    static bool available();

    struct Folded {
        // The range, with `reg` added into its first bytes, as sixteen bytes of the same
        // remainder: their CRC from a register of zero is the range's CRC from `reg`.
        std::array<std::byte, 16> block{};
        const std::byte* rest = nullptr;  // the bytes after the last whole block, in order
        std::size_t restLength = 0;
    };
    // For n >= kFoldFrom, when available().
    Folded fold(std::uint32_t reg, const std::byte* p, std::size_t n) const;

private:
    unsigned width_;
    bool mirrored_;
    long long by64Bytes_[2];  // x^(512 + 64) and x^512 modulo the polynomial
    long long by16Bytes_[2];  // x^(128 + 64) and x^128
};

}  // namespace quarlin
