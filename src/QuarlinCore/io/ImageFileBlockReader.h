// Serves a disk-image file (a byte-for-byte copy of a device or volume) through the block
// contract, so that everything that scans devices can scan images too. Only whole blocks
// are addressable: a trailing partial block at the end of the file is never readable.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "QuarlinCore/io/BlockReader.h"
#include "runtime/Runtime.h"

namespace quarlin {

class ImageFileBlockReader final : public runtime::Actor, public BlockReader {
public:
    // Opens `path` read-only and measures it once. Throws IOError: deviceNotFound when
    // nothing readable is at the path, general when the size cannot be found or
    // blockSize < 1. Without an identity, the path names the device and its last
    // component is the display name.
    ImageFileBlockReader(std::string path, std::int64_t blockSize,
                         std::optional<DeviceIdentity> identity = std::nullopt);

    std::int64_t blockSize() const override { return blockSize_; }
    const DeviceIdentity& deviceIdentity() const override { return deviceIdentity_; }

    // One positioned read of exactly count × blockSize() bytes, serialised on the actor.
    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override;

private:
    // The open file. Read tasks hold it, not the reader, so a task created before the reader
    // is dropped still reads this file, kept open until the last task is done.
    struct File {
        ~File();
        Data readOnActor(std::uint64_t offset, std::int64_t count) const;
        std::int64_t blockSize_ = 0;
        std::string filePath_;
        int fileDescriptor_ = -1;
        std::uint64_t totalBlockCount_ = 0;
    };

    // Fixed once construction succeeds; filePath_ comes before deviceIdentity_ because the
    // default identity is derived from it.
    const std::int64_t blockSize_;
    const std::string filePath_;
    const DeviceIdentity deviceIdentity_;
    std::shared_ptr<File> file_;
};

}  // namespace quarlin
