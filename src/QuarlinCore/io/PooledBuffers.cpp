// The pool behind the largest Data buffers: whole transparent huge pages, mapped once and
// reused, so the chunks an image or a reply moves neither fault in afresh nor need 512
// page pins per direct read.
#include <sys/mman.h>

#include <cstdint>
#include <iterator>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "QuarlinCore/io/Data.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUARLIN_WITH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARLIN_WITH_ASAN 1
#endif
#endif

#ifdef QUARLIN_WITH_ASAN
#include <sanitizer/asan_interface.h>
// Kept buffers, and the slack past the bytes a buffer was asked for, are poisoned, so the
// sanitizer still catches a use after release or a read past the end.
#define QUARLIN_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define QUARLIN_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define QUARLIN_POISON(p, n) ((void)(p), (void)(n))
#define QUARLIN_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace quarlin {
namespace {

std::size_t roundedSize(std::size_t bytes) {
    return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

struct Pool {
    // Room for the most buffers the pool can keep, so that giving one back never allocates.
    Pool() { kept.reserve(kPooledBufferBytesKeptAtMost / kHugePageBytes); }
    std::mutex lock;
    std::vector<std::pair<std::size_t, void*>> kept;  // (rounded size, buffer)
    std::size_t keptBytes = 0;
};

// Never destroyed: buffers may be released by threads that outlive static destruction.
Pool& pool() {
    static Pool* instance = new Pool;
    return *instance;
}

void* mapAligned(std::size_t size) {
    // Over-map by one alignment unit and cut the ends away, so that the buffer starts on a
    // huge-page boundary and every one of its pages can be a huge page.
    const std::size_t mapped = size + kHugePageBytes;
    void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const auto aligned = (start + kHugePageBytes - 1) & ~(std::uintptr_t{kHugePageBytes} - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::size_t tail = start + mapped - (aligned + size);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
    // Only advice: without transparent huge pages the buffer is made of ordinary pages.
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

namespace detail {

void* takePooledBuffer(std::size_t bytes) {
    const std::size_t size = roundedSize(bytes);
    void* buffer = nullptr;
    {
        Pool& p = pool();
        std::lock_guard guard(p.lock);
        // The most recently released buffer of the size first: its bytes may still be in
        // the processor's cache.
        for (auto it = p.kept.rbegin(); it != p.kept.rend(); ++it) {
            if (it->first != size) continue;
            buffer = it->second;
            p.kept.erase(std::next(it).base());
            p.keptBytes -= size;
            break;
        }
    }
    if (!buffer) buffer = mapAligned(size);
    QUARLIN_UNPOISON(buffer, bytes);
    QUARLIN_POISON(static_cast<std::byte*>(buffer) + bytes, size - bytes);
    return buffer;
}

void returnPooledBuffer(void* buffer, std::size_t bytes) noexcept {
    const std::size_t size = roundedSize(bytes);
    {
        Pool& p = pool();
        std::lock_guard guard(p.lock);
        if (p.keptBytes + size <= kPooledBufferBytesKeptAtMost) {
            p.kept.emplace_back(size, buffer);
            p.keptBytes += size;
            QUARLIN_POISON(buffer, size);
            return;
        }
    }
    QUARLIN_UNPOISON(buffer, size);
    ::munmap(buffer, size);
}

}  // namespace detail

std::size_t pooledBufferBytesKept() {
    Pool& p = pool();
    std::lock_guard guard(p.lock);
    return p.keptBytes;
}

}  // namespace quarlin
