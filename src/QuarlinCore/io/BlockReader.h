// The contract of every block source: fixed-size blocks of a device or image, the identity
// of the device behind them, and an asynchronous read of a run of blocks. Offsets and
// counts are in blocks; the byte position of a block is its index × blockSize().
#pragma once

#include <cstdint>

#include "QuarlinCore/io/Data.h"
#include "QuarlinCore/io/DeviceIdentity.h"
#include "runtime/Runtime.h"

namespace quarlin {

class BlockReader {
public:
    virtual ~BlockReader() = default;

    // Constants fixed at construction, readable from any thread without entering the reader.
    virtual std::int64_t blockSize() const = 0;
    virtual const DeviceIdentity& deviceIdentity() const = 0;

    // The bytes of blocks [at, at + count): exactly count × blockSize() bytes, or an IOError.
    virtual runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) = 0;
};

}  // namespace quarlin
