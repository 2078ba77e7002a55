#include "platform/xpcclient/SharedSlots.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quarlin {

std::unique_ptr<SharedSlots> SharedSlots::lend(QuarlinHelperClient& client, std::size_t slotBytes, std::size_t slots,
                                               bool& lost) {
    lost = false;
    const std::size_t size = slotBytes * slots;
    const int fd = ::memfd_create("quarlin-reads", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    std::unique_ptr<SharedSlots> lent(new SharedSlots(fd, slotBytes, slots));
    // Sealed against shrinking, so that no page of the helper's mapping can vanish under a read.
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return nullptr;
    }
    void* base = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return nullptr;
    lent->base_ = static_cast<const std::byte*>(base);
    lent->size_ = size;
    auto attached = client.attachSharedBuffer(fd);
    lost = !attached;
    if (!attached || *attached) return nullptr;
    return lent;
}

SharedSlots::~SharedSlots() {
    if (base_) ::munmap(const_cast<std::byte*>(base_), size_);
    ::close(fd_);
}

}  // namespace quarlin
