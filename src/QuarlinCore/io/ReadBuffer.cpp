#include "QuarlinCore/io/ReadBuffer.h"

#include <unistd.h>

#include <limits>
#include <new>
#include <string>

#include "QuarlinCore/io/IOError.h"

namespace quarlin {

std::uint64_t physicalMemoryBytes() {
    static const std::uint64_t bytes = [] {
        const long pages = ::sysconf(_SC_PHYS_PAGES);
        const long pageSize = ::sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || pageSize <= 0) return std::numeric_limits<std::uint64_t>::max();
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    }();
    return bytes;
}

Data allocateReadBuffer(std::int64_t byteLength, std::int64_t count) {
    const auto tooLarge = [&] {
        return IOError::general("Cannot allocate " + std::to_string(byteLength) + " bytes for a read of " +
                                std::to_string(count) + " blocks.");
    };
    if (static_cast<std::uint64_t>(byteLength) > physicalMemoryBytes()) throw tooLarge();
    try {
        return Data(static_cast<std::size_t>(byteLength));
    } catch (const std::bad_alloc&) {
        throw tooLarge();
    }
}

}  // namespace quarlin
