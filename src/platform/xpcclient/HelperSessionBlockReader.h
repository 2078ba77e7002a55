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

    std::int64_t blockSize() const override { return shared_->blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return identity_; }
    std::uint64_t blockCount() const { return shared_->blockCount_; }

    // Fails with IOError::general carrying the helper's "error CODE: MESSAGE" or the
    // connection's failure.
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override;

private:
    // What a read needs, held by every read task as well as the reader; the sessions are
    // closed when the last of them lets go.
    struct Shared {
        Shared(std::shared_ptr<QuarlinHelperClient> client, std::vector<std::int64_t> sessions, std::int64_t blockSize,
               std::uint64_t blockCount)
            : client_(std::move(client)), sessions_(std::move(sessions)), blockSize_(blockSize), blockCount_(blockCount) {}
        ~Shared();
        const std::shared_ptr<QuarlinHelperClient> client_;
        const std::vector<std::int64_t> sessions_;
        const std::int64_t blockSize_;
        const std::uint64_t blockCount_;
        std::atomic<std::uint64_t> nextSession_{0};
    };

    static runtime::Task<Data> read(std::shared_ptr<Shared> shared, std::uint64_t at, std::int64_t count);

    const std::shared_ptr<Shared> shared_;
    const DeviceIdentity identity_;
};

}  // namespace quarlin
