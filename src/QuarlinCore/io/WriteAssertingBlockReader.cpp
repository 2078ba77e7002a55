#include "QuarlinCore/io/WriteAssertingBlockReader.h"

#include <limits>
#include <utility>

namespace quarlin {

namespace {

// Counters stop at the ends of their range instead of wrapping: a caller passing absurd
// counts must not turn the totals into nonsense (or into undefined behaviour).
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

}  // namespace

WriteAssertingBlockReader::WriteAssertingBlockReader(std::shared_ptr<BlockReader> wrapping)
    : blockSize_(wrapping->blockSize()), deviceIdentity_(wrapping->deviceIdentity()), inner_(std::move(wrapping)) {}

runtime::Task<Data> WriteAssertingBlockReader::readBlocks(std::uint64_t at, std::int64_t count) {
    return isolated([counters = counters_, inner = inner_, at, count]() -> runtime::Task<Data> {
        counters->readCallCount = saturatingAdd(counters->readCallCount, 1);
        counters->totalBlocksRead = saturatingAdd(counters->totalBlocksRead, count);
        co_return co_await inner->readBlocks(at, count);
    });
}

runtime::Task<std::int64_t> WriteAssertingBlockReader::readCallCount() {
    return isolated([counters = counters_]() -> runtime::Task<std::int64_t> { co_return counters->readCallCount; });
}

runtime::Task<std::int64_t> WriteAssertingBlockReader::totalBlocksRead() {
    return isolated([counters = counters_]() -> runtime::Task<std::int64_t> { co_return counters->totalBlocksRead; });
}

}  // namespace quarlin
