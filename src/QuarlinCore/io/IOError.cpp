#include "QuarlinCore/io/IOError.h"

#include <algorithm>

namespace quarlin {

std::string rangeEndText(std::uint64_t offset, std::int64_t count) {
    __int128 sum = static_cast<__int128>(offset) + count;
    const bool negative = sum < 0;
    unsigned __int128 magnitude = negative ? static_cast<unsigned __int128>(-sum) : static_cast<unsigned __int128>(sum);
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

namespace {

struct Describe {
    std::string operator()(const IOError::OutOfBounds& e) const {
        return "Block range [" + std::to_string(e.offset) + ", " + rangeEndText(e.offset, e.count) +
               ") is outside device extent of " + std::to_string(e.deviceBlockCount) + " blocks.";
    }
    std::string operator()(const IOError::PosixError& e) const {
        return "POSIX error " + std::to_string(e.errnoValue) + ": " + e.description;
    }
    std::string operator()(const IOError::DeviceNotFound& e) const {
        return "Device or image not found at path: " + e.path;
    }
    std::string operator()(const IOError::WriteAccessDetected& e) const {
        return "Write access was detected on source device '" + e.path +
               "' \u2014 read-only invariant violated.";
    }
    std::string operator()(const IOError::General& e) const { return e.message; }
};

}  // namespace

IOError::IOError(Case value) : value_(std::move(value)), description_(std::visit(Describe{}, value_)) {}

}  // namespace quarlin
