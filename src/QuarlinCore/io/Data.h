// The owned byte buffer that readers return and records carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace quarlin {

// An allocator whose value-initialisation leaves bytes uninitialised, so that a buffer
// sized for a read is not zero-filled first only to be overwritten by the read. Readers
// either fill every byte of such a buffer or fail the read and drop it.
//
// Buffers of kLargeBufferBytes or more start on a page boundary, so that a device opened
// for direct transfers can read straight into a read buffer.
//
// Buffers of kPooledBufferBytes or more (the chunks that reads, images and replies move)
// are made of whole transparent huge pages, kept in a process-wide pool when released and
// handed out again for the next buffer of the same rounded size: a device read pins one
// page instead of hundreds, copies into and out of them take fewer address translations,
// and no buffer is faulted in anew.
inline constexpr std::size_t kLargeBufferBytes = 64 * 1024;
inline constexpr std::size_t kLargeBufferAlignment = 4096;
inline constexpr std::size_t kPooledBufferBytes = std::size_t{1} << 20;
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

namespace detail {
// A buffer of `bytes` (>= kPooledBufferBytes) rounded up to whole huge pages, from
// the pool or newly mapped; throws std::bad_alloc when memory cannot be mapped.
void* takePooledBuffer(std::size_t bytes);
// Gives back a buffer that takePooledBuffer(bytes) returned.
void returnPooledBuffer(void* buffer, std::size_t bytes) noexcept;
}  // namespace detail

// The bytes of released buffers the pool keeps for reuse; never more than
// kPooledBufferBytesKeptAtMost.
inline constexpr std::size_t kPooledBufferBytesKeptAtMost = std::size_t{64} << 20;
std::size_t pooledBufferBytesKept();

template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::allocator_traits<std::allocator<T>>::max_size(*this)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLargeBufferBytes) return static_cast<T*>(::operator new(bytes));
        if (bytes >= kPooledBufferBytes) return static_cast<T*>(detail::takePooledBuffer(bytes));
        // Over-allocated through plain operator new and aligned by hand, with the start of
        // the block kept just below the buffer: the allocator then recycles large buffers
        // as it does any other, where its aligned path maps fresh pages for each one.
        void* block = ::operator new(bytes + kLargeBufferAlignment + sizeof(void*));
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block) + sizeof(void*);
        const std::uintptr_t aligned = (start + kLargeBufferAlignment - 1) & ~(std::uintptr_t{kLargeBufferAlignment} - 1);
        reinterpret_cast<void**>(aligned)[-1] = block;
        return reinterpret_cast<T*>(aligned);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kLargeBufferBytes) {
            ::operator delete(p);
        } else if (n * sizeof(T) >= kPooledBufferBytes) {
            detail::returnPooledBuffer(p, n * sizeof(T));
        } else {
            ::operator delete(reinterpret_cast<void**>(p)[-1]);
        }
    }

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
