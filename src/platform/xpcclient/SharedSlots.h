// A memory file lent to the helper, cut into slots of equal size: the helper reads blocks
// straight into a slot and only the length crosses the socket, so no block is copied into
// and out of the socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/xpcclient/QuarlinHelperClient.h"

namespace quarlin {

class SharedSlots {
public:
    // None when the file cannot be made or the helper refuses it; the reads then travel over
    // the socket. `lost` is set when the helper ended the connection instead (one that does
    // not know the call): the caller connects again.
    static std::unique_ptr<SharedSlots> lend(QuarlinHelperClient& client, std::size_t slotBytes, std::size_t slots,
                                             bool& lost);
    ~SharedSlots();
    SharedSlots(const SharedSlots&) = delete;
    SharedSlots& operator=(const SharedSlots&) = delete;

    std::size_t slotBytes() const { return slotBytes_; }
    std::size_t slotCount() const { return slotCount_; }
    std::uint64_t offsetOf(std::uint64_t slot) const { return slot * slotBytes_; }
    std::span<const std::byte> bytes(std::uint64_t slot, std::size_t length) const {
        return {base_ + offsetOf(slot), length};
    }

private:
    SharedSlots(int fd, std::size_t slotBytes, std::size_t slotCount)
        : fd_(fd), slotBytes_(slotBytes), slotCount_(slotCount) {}
    int fd_;
    std::size_t slotBytes_;
    std::size_t slotCount_;
    const std::byte* base_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace quarlin
