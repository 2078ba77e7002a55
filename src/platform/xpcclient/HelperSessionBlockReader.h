// A block source served by the helper: reads of a raw disk through sessions the signed
// client opened, so that everything that scans a BlockReader scans a disk the user may not
// open directly. A read is split into pieces spread over the sessions and kept in flight
// together, since the helper serves several sessions of a device at once. With a memory file
// lent to the helper, each piece is read into a free slot of it and copied from there.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "QuarlinCore/io/BlockReader.h"
#include "platform/xpcclient/QuarlinHelperClient.h"
#include "platform/xpcclient/SharedSlots.h"

namespace quarlin {

class HelperSessionBlockReader final : public BlockReader {
public:
    // The sessions must all be of one device, with this block size and count; they are
    // closed when the reader goes. `slots`, when given, is lent to the helper on `client`'s
    // connection; slots smaller than a block are not used.
    HelperSessionBlockReader(std::shared_ptr<QuarlinHelperClient> client, std::vector<std::int64_t> sessions,
                             std::int64_t blockSize, std::uint64_t blockCount, DeviceIdentity identity,
                             std::unique_ptr<SharedSlots> slots = nullptr);

    std::int64_t blockSize() const override { return shared_->blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return identity_; }
    std::uint64_t blockCount() const { return shared_->blockCount_; }

    // Fails with IOError::general carrying the helper's "error CODE: MESSAGE" or the
    // connection's failure.
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override;

private:
    struct SlotPool;
    // What a read needs, held by every read task as well as the reader; the sessions are
    // closed when the last of them lets go.
    struct Shared {
        Shared(std::shared_ptr<QuarlinHelperClient> client, std::vector<std::int64_t> sessions, std::int64_t blockSize,
               std::uint64_t blockCount, std::unique_ptr<SharedSlots> slots);
        ~Shared();
        const std::shared_ptr<QuarlinHelperClient> client_;
        const std::vector<std::int64_t> sessions_;
        const std::int64_t blockSize_;
        const std::uint64_t blockCount_;
        // The lent slots and who waits for one; none when reads travel over the socket. Held
        // apart from the rest, by the replies too: a reply must never hold the last
        // reference to the sessions, whose closing waits for replies.
        const std::shared_ptr<SlotPool> pool_;
        std::atomic<std::uint64_t> nextSession_{0};
    };

    static runtime::Task<Data> read(std::shared_ptr<Shared> shared, std::uint64_t at, std::int64_t count);

    const std::shared_ptr<Shared> shared_;
    const DeviceIdentity identity_;
};

}  // namespace quarlin
