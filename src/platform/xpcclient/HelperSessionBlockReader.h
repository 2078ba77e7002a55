// A block source served by the helper: reads of a raw disk through sessions the signed
// client opened, so that everything that scans a BlockReader scans a disk the user may not
// open directly. A read is split into pieces spread over the sessions and kept in flight
// together, since the helper serves several sessions of a device at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "QuarlinCore/io/BlockReader.h"
#include "platform/xpcclient/QuarlinHelperClient.h"

namespace quarlin {

class HelperSessionBlockReader final : public BlockReader {
public:
    // The sessions must all be of one device, with this block size and count; they are
    // closed when the reader goes.
    HelperSessionBlockReader(std::shared_ptr<QuarlinHelperClient> client, std::vector<std::int64_t> sessions,
                             std::int64_t blockSize, std::uint64_t blockCount, DeviceIdentity identity);
    ~HelperSessionBlockReader() override;

    std::int64_t blockSize() const override { return blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return identity_; }
    std::uint64_t blockCount() const { return blockCount_; }

    // Fails with IOError::general carrying the helper's "error CODE: MESSAGE" or the
    // connection's failure.
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override;

private:
    const std::shared_ptr<QuarlinHelperClient> client_;
    const std::vector<std::int64_t> sessions_;
    const std::int64_t blockSize_;
    const std::uint64_t blockCount_;
    const DeviceIdentity identity_;
    std::atomic<std::uint64_t> nextSession_{0};
};

}  // namespace quarlin
