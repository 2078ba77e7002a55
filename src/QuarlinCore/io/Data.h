// The owned byte buffer that readers return and records carry.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace quarlin {

// An allocator whose value-initialisation leaves bytes uninitialised, so that a buffer
// sized for a read is not zero-filled first only to be overwritten by the read. Readers
// either fill every byte of such a buffer or fail the read and drop it.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Data = std::vector<std::byte, UninitialisedAllocator<std::byte>>;

}  // namespace quarlin
