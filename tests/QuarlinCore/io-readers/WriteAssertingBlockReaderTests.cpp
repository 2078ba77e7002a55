#include "QuarlinCore/io/WriteAssertingBlockReader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../../support/DiskImageFixtures.h"
#include "QuarlinCore/io/IOError.h"
#include "QuarlinCore/io/ImageFileBlockReader.h"
#include "runtime/Runtime.h"

namespace quarlin {
namespace {

using namespace std::chrono_literals;

class WriteAssertingBlockReaderTest : public fixtures::PatternFileTest {};

// The outcome of one read: the bytes, or the error's description and case.
struct Outcome {
    std::optional<Data> bytes;
    std::optional<std::string> error;
    std::size_t errorCase = 0;
    bool operator==(const Outcome&) const = default;
};

Outcome outcomeOf(BlockReader& reader, std::uint64_t at, std::int64_t count) {
    try {
        return {runtime::runBlocking(reader.readBlocks(at, count)), std::nullopt, 0};
    } catch (const IOError& error) {
        return {std::nullopt, error.errorDescription(), error.value().index()};
    }
}

// Every call is counted with its requested count before it is forwarded, whatever the
// wrapped reader then answers; answers and errors arrive exactly as the reader gives them.
TEST_F(WriteAssertingBlockReaderTest, CountsCallsStartedAndForwardsOutcomesUnchanged) {
    const std::string path = writePatternFile("disk.img", 200 * 512 + 100);
    const DeviceIdentity identity{"image-42", UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF"), "Card"};
    auto inner = std::make_shared<ImageFileBlockReader>(path, 512, identity);
    WriteAssertingBlockReader wrapper(inner);
    EXPECT_EQ(wrapper.deviceIdentity(), identity);
    ImageFileBlockReader direct(path, 512);
    ASSERT_EQ(::truncate(path.c_str(), 150 * 512), 0);

    struct Step {
        std::uint64_t at;
        std::int64_t count;
        std::int64_t callsAfter;
        std::int64_t blocksAfter;
    };
    const Step steps[] = {
        {0, 8, 1, 8},
        {100, 4, 2, 12},
        {0, 0, 3, 12},            // forwarded; the reader answers with empty data
        {199, 5, 4, 17},          // out of bounds
        {148, 4, 5, 21},          // short read: the file was cut after the readers measured it
        {0, -3, 6, 18},           // refused by the reader, and its count is added as passed
        {UINT64_MAX, 1, 7, 19},   // out of bounds at the very end of the block range
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::to_string(step.at) + " + " + std::to_string(step.count));
        const Outcome expected = outcomeOf(direct, step.at, step.count);
        EXPECT_EQ(outcomeOf(wrapper, step.at, step.count), expected);
        EXPECT_EQ(runtime::runBlocking(wrapper.readCallCount()), step.callsAfter);
        EXPECT_EQ(runtime::runBlocking(wrapper.totalBlocksRead()), step.blocksAfter);
    }
    EXPECT_EQ(outcomeOf(wrapper, 0, 8).bytes, writtenBytes(0, 8 * 512));
}

TEST_F(WriteAssertingBlockReaderTest, TotalStopsAtTheEndsOfItsRange) {
    auto inner = std::make_shared<ImageFileBlockReader>(writePatternFile("tiny.img", 512), 512);
    WriteAssertingBlockReader wrapper(inner);
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    const std::pair<std::int64_t, std::int64_t> steps[] = {{kMax, kMax}, {kMax, kMax}, {-1, kMax - 1},
                                                           {kMin, -2},  {kMin, kMin}, {2, kMin + 2}};
    for (const auto& [count, totalAfter] : steps) {
        SCOPED_TRACE(count);
        EXPECT_TRUE(outcomeOf(wrapper, 0, count).error.has_value());
        EXPECT_EQ(runtime::runBlocking(wrapper.totalBlocksRead()), totalAfter);
    }
    EXPECT_EQ(runtime::runBlocking(wrapper.readCallCount()), 6);
}

// A reader whose reads wait until the test opens the gate, so a read can be held in flight.
class GatedReaderDouble final : public runtime::Actor, public BlockReader {
public:
    std::int64_t blockSize() const override { return 512; }
    const DeviceIdentity& deviceIdentity() const override { return identity_; }

    runtime::Task<Data> readBlocks(std::uint64_t at, std::int64_t count) override {
        return isolated([this, at, count]() -> runtime::Task<Data> {
            co_await runtime::withCheckedContinuation<void>("gated read", [this](runtime::CheckedContinuation<void> c) {
                std::lock_guard lock(mutex_);
                pending_.push_back(std::move(c));
                arrived_.notify_all();
            });
            co_return Data(static_cast<std::size_t>(count) * 512, static_cast<std::byte>(at));
        });
    }

    bool waitForPending(std::size_t n) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 10s, [&] { return pending_.size() >= n; });
    }

    void openGate() {
        std::vector<runtime::CheckedContinuation<void>> taken;
        {
            std::lock_guard lock(mutex_);
            taken.swap(pending_);
        }
        for (const auto& c : taken) c.resume();
    }

private:
    DeviceIdentity identity_{"gated", std::nullopt, "Gated"};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<runtime::CheckedContinuation<void>> pending_;
};

// While one call awaits the wrapped reader, the wrapper takes and counts further calls.
TEST(WriteAssertingBlockReaderConcurrency, WrapperIsFreeWhileAReadIsInFlight) {
    auto gated = std::make_shared<GatedReaderDouble>();
    WriteAssertingBlockReader wrapper(gated);
    auto counterNow = [&](runtime::Task<std::int64_t> counter) -> std::optional<std::int64_t> {
        auto value = asio::co_spawn(runtime::sharedPool(), std::move(counter), asio::use_future);
        if (value.wait_for(10s) != std::future_status::ready) return std::nullopt;
        return value.get();
    };

    auto first = asio::co_spawn(runtime::sharedPool(), wrapper.readBlocks(3, 2), asio::use_future);
    ASSERT_TRUE(gated->waitForPending(1));
    EXPECT_EQ(counterNow(wrapper.readCallCount()), 1);
    auto second = asio::co_spawn(runtime::sharedPool(), wrapper.readBlocks(9, 5), asio::use_future);
    ASSERT_TRUE(gated->waitForPending(2));
    EXPECT_EQ(counterNow(wrapper.readCallCount()), 2);
    EXPECT_EQ(counterNow(wrapper.totalBlocksRead()), 7);

    gated->openGate();
    EXPECT_EQ(first.get(), Data(1024, std::byte{3}));
    EXPECT_EQ(second.get(), Data(2560, std::byte{9}));
}

// Many tasks reading through one wrapper at once: no call is lost from the counters.
TEST_F(WriteAssertingBlockReaderTest, ConcurrentCallsAreAllCounted) {
    constexpr int kTasks = 32;
    auto inner = std::make_shared<ImageFileBlockReader>(writePatternFile("busy.img", 64 * 1024), 1024);
    WriteAssertingBlockReader wrapper(inner);
    std::vector<std::future<Data>> reads;
    for (int task = 0; task < kTasks; ++task) {
        reads.push_back(asio::co_spawn(runtime::sharedPool(), wrapper.readBlocks(task, task % 5), asio::use_future));
    }
    std::int64_t expectedBlocks = 0;
    for (int task = 0; task < kTasks; ++task) {
        EXPECT_EQ(reads[task].get(), writtenBytes(task % 5 == 0 ? 0 : task * 1024, (task % 5) * 1024));
        expectedBlocks += task % 5;
    }
    EXPECT_EQ(runtime::runBlocking(wrapper.readCallCount()), kTasks);
    EXPECT_EQ(runtime::runBlocking(wrapper.totalBlocksRead()), expectedBlocks);
}

}  // namespace
}  // namespace quarlin
