// Serves the blocks of a raw disk device (or any readable file) through the BlockReader
// contract. The device is opened strictly read-only, and the reader proves right after
// opening that its descriptor cannot write; each read is one positioned read.
//
// A block device is read with direct transfers where it allows them: a scan of a whole
// disk then neither passes through nor evicts the page cache, and a loop device is not
// copied twice (into its own cache, then out of it).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "QuarlinCore/io/BlockReader.h"
#include "QuarlinCore/io/DeviceIdentity.h"
#include "runtime/Runtime.h"

namespace quarlin {

class RawDiskBlockReader final : public runtime::Actor, public BlockReader {
public:
    // Opens platform::devicePathToOpen(devicePath) with O_RDONLY and measures it. `blockSize`
    // is the fallback used when the device reports none; without `identity` the reader names
    // itself after the path. Throws IOError; on failure nothing stays open.
    RawDiskBlockReader(std::string devicePath, std::int64_t blockSize, std::optional<DeviceIdentity> identity);

    std::int64_t blockSize() const override { return blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return deviceIdentity_; }

    // Number of whole blocks the device has; entered through the actor.
    runtime::Task<std::uint64_t> totalBlocks();

    // Exactly count × blockSize() bytes of blocks [at, at + count), or an IOError.
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override;
    // The same blocks read straight into `into`, which must hold exactly count × blockSize()
    // bytes (else an IOError, nothing read); a page-aligned buffer is read without a copy.
    runtime::Task<void> readBlocksInto(std::uint64_t at, std::int64_t count, std::span<std::byte> into);

    // Byte position and length of a block range, or none when either leaves the signed
    // 64-bit range that pread can address.
    struct ByteRange {
        std::int64_t offset;
        std::int64_t length;
    };
    static std::optional<ByteRange> byteRangeOf(std::uint64_t offset, std::int64_t count, std::int64_t blockSize);


private:
    // The open device and what reads change. Read tasks hold it, not the reader, so a task
    // created before the reader is dropped still reads from this descriptor, kept open until
    // the last task is done.
    struct Device {
        Device(std::string devicePath, std::int64_t blockSize);
        ~Device();
        ByteRange checkedRange(std::uint64_t offset, std::int64_t count) const;
        Data readOnActor(std::uint64_t offset, std::int64_t count);
        void readRange(std::uint64_t offset, ByteRange range, std::byte* into);
        ssize_t readAt(std::byte* into, std::int64_t length, std::int64_t at);

        // Whether the descriptor reads with O_DIRECT. Cleared for good if the device refuses
        // a direct read that it should take, the read then being made through the cache.
        bool direct_ = false;
        std::int64_t blockSize_ = 0;
        int fd_ = -1;
        std::string devicePath_;
        std::uint64_t totalBlockCount_ = 0;
    };

    const std::shared_ptr<Device> device_;
    const std::int64_t blockSize_;
    const DeviceIdentity deviceIdentity_;
};

}  // namespace quarlin
