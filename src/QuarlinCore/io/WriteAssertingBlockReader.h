// Wraps any block reader behind the same contract and counts the reads that pass through
// it. It offers no path to the source but the forwarded read, so whatever goes through it
// is a read; the counters show how many calls and blocks went through.
#pragma once

#include <cstdint>
#include <memory>

#include "QuarlinCore/io/BlockReader.h"
#include "runtime/Runtime.h"

namespace quarlin {

class WriteAssertingBlockReader final : public runtime::Actor, public BlockReader {
public:
    // Copies the wrapped reader's block size and identity once, now; keeps the reader (which
    // must not be null) for the wrapper's whole life.
    explicit WriteAssertingBlockReader(std::shared_ptr<BlockReader> wrapping);

    std::int64_t blockSize() const override { return blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return deviceIdentity_; }

    // Counts the call and its requested count before forwarding it, so the counters show
    // calls started, not calls that succeeded. Results and errors pass unchanged. The
    // wrapper is free while it awaits the wrapped reader.
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override;

    runtime::Task<std::int64_t> readCallCount();
    // The sum of the requested counts, as passed in (clamped to the 64-bit range).
    runtime::Task<std::int64_t> totalBlocksRead();

private:
    const std::int64_t blockSize_;
    const DeviceIdentity deviceIdentity_;
    const std::shared_ptr<BlockReader> inner_;
    // Held by the operations, not the wrapper, so a read task created before the wrapper is
    // dropped still counts into live memory and reads through a live reader.
    struct Counters {
        std::int64_t readCallCount = 0;
        std::int64_t totalBlocksRead = 0;
    };
    const std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
};

}  // namespace quarlin
