// The buffer a block read fills. A range can ask for more bytes than the machine holds (a
// huge or sparse image, a large device): such a read is refused as an error of that read
// instead of letting the allocation end the process.
#pragma once

#include <cstdint>

#include "QuarlinCore/io/Data.h"

namespace quarlin {

// The machine's physical memory in bytes, which no single read buffer can exceed.
std::uint64_t physicalMemoryBytes();

// A buffer of `byteLength` bytes for a read of `count` blocks, or IOError.general
// "Cannot allocate N bytes for a read of C blocks." when it cannot be had.
Data allocateReadBuffer(std::int64_t byteLength, std::int64_t count);

}  // namespace quarlin
