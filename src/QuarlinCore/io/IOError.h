// The one error type of all block readers, with the text each case shows to a user.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <variant>

namespace quarlin {

class IOError : public std::exception {
public:
    struct OutOfBounds {
        std::uint64_t offset;
        std::int64_t count;
        std::uint64_t deviceBlockCount;
    };
    struct PosixError {
        std::int32_t errnoValue;
        std::string description;
    };
    struct DeviceNotFound {
        std::string path;
    };
    struct WriteAccessDetected {
        std::string path;
    };
    struct General {
        std::string message;
    };
    using Case = std::variant<OutOfBounds, PosixError, DeviceNotFound, WriteAccessDetected, General>;

    static IOError outOfBounds(std::uint64_t offset, std::int64_t count, std::uint64_t deviceBlockCount) {
        return IOError(OutOfBounds{offset, count, deviceBlockCount});
    }
    static IOError posixError(std::int32_t errnoValue, std::string description) {
        return IOError(PosixError{errnoValue, std::move(description)});
    }
    static IOError deviceNotFound(std::string path) { return IOError(DeviceNotFound{std::move(path)}); }
    static IOError writeAccessDetected(std::string path) {
        return IOError(WriteAccessDetected{std::move(path)});
    }
    static IOError general(std::string message) { return IOError(General{std::move(message)}); }

    explicit IOError(Case value);

    const Case& value() const { return value_; }
    // Never empty; computed from the payload.
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Case value_;
    std::string description_;
};

// The sum offset + count in plain decimal, exact even when it leaves 64 bits or count is negative.
std::string rangeEndText(std::uint64_t offset, std::int64_t count);

}  // namespace quarlin
