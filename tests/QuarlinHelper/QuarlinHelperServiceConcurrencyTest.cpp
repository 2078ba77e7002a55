// The service under concurrent calls: reads in flight outlive the end of their session, an
// open that is still creating its reader survives a drop of all sessions, and concurrent
// opens receive distinct handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>

#include "../support/DiskImageFixtures.h"
#include "../support/ServiceCalls.h"
#include "QuarlinHelper/QuarlinHelperService.h"

namespace quarlin {
namespace {

using Code = QuarlinHelperError::Code;
using fixtures::ReplyProbe;

// A one-way gate: threads wait until it opens.
class Gate {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Occupies every thread of the shared pool until released, so that tasks started meanwhile
// are held back: an asynchronous operation is then certainly still in flight.
class PoolHold {
public:
    PoolHold() : state_(std::make_shared<State>()) {
        const std::size_t threads = runtime::sharedPoolThreadCount();
        for (std::size_t i = 0; i < threads; ++i) {
            // Each holder keeps the state alive: it may still be leaving the gate after the
            // hold itself is gone.
            asio::post(runtime::sharedPool(), [state = state_] {
                {
                    std::lock_guard lock(state->mutex);
                    ++state->holding;
                    state->changed.notify_all();
                }
                state->release.wait();
            });
        }
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return state_->holding == threads; });
    }
    ~PoolHold() { state_->release.open(); }
    PoolHold(const PoolHold&) = delete;
    PoolHold& operator=(const PoolHold&) = delete;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::size_t holding = 0;
        Gate release;
    };
    std::shared_ptr<State> state_;
};

class ServiceConcurrencyTest : public testing::Test {
protected:
    ServiceConcurrencyTest() : image_(fixtures::patternBytes(256 * 512)) {
        fixtures::writeFile(dir_.file("disk.img"), image_);
    }

    fixtures::TempDir dir_;
    Data image_;
};

TEST_F(ServiceConcurrencyTest, ReadInFlightRepliesWithItsDataAfterItsSessionEnds) {
    fixtures::DevicePathMapping mapping({{"/dev/rdiskTEST", dir_.file("disk.img")}});
    const std::size_t withoutSessions = fixtures::openDescriptorCount();
    enum class Ending { close, dropAll };
    for (const Ending ending : {Ending::close, Ending::dropAll}) {
        QuarlinHelperService service;
        const auto session = fixtures::openSession(service, "/dev/rdiskTEST");
        ASSERT_EQ(session.handle, 1);

        ReplyProbe<std::optional<Data>, std::optional<ErrorObject>> inFlight;
        {
            PoolHold hold;
            service.readBlocks(session.handle, 0, 256, inFlight.reply());
            if (ending == Ending::close) {
                fixtures::closeSession(service, session.handle);
            } else {
                service.dropAllSessions();
            }
            EXPECT_FALSE(inFlight.called()) << "the read was not in flight";
            EXPECT_EQ(fixtures::openDescriptorCount(), withoutSessions + 1) << "the read keeps its reader open";
        }
        const auto [bytes, error] = inFlight.finish();
        EXPECT_FALSE(error);
        EXPECT_EQ(bytes, image_);
        // The session is gone, and its reader was released when the read ended.
        fixtures::expectHelperError(fixtures::readBlocks(service, session.handle, 0, 1).error, Code::unknownSession,
                                    "Unknown session handle 1.");
        EXPECT_EQ(fixtures::openDescriptorCount(), withoutSessions);
    }
}

TEST_F(ServiceConcurrencyTest, OpenStillCreatingItsReaderKeepsItsSessionAcrossADrop) {
    Gate entered;
    Gate proceed;
    const std::string image = dir_.file("disk.img");
    platform::setDevicePathMapper([&, image](std::string_view path) -> std::optional<std::string> {
        if (path == "/dev/rdiskSLOW") {
            entered.open();
            proceed.wait();
        }
        if (path == "/dev/rdiskSLOW" || path == "/dev/rdiskTEST") return image;
        return std::nullopt;
    });
    struct ResetMapper {
        ~ResetMapper() { platform::setDevicePathMapper({}); }
    } resetMapper;

    QuarlinHelperService service;
    const auto earlier = fixtures::openSession(service, "/dev/rdiskTEST");
    ASSERT_EQ(earlier.handle, 1);

    ReplyProbe<std::int64_t, std::int64_t, std::uint64_t, std::optional<ErrorObject>> opening;
    service.openSession("/dev/rdiskSLOW", opening.reply());
    entered.wait();  // the reader is being created now
    service.dropAllSessions();
    proceed.open();

    const auto [handle, blockSize, blockCount, error] = opening.finish();
    EXPECT_FALSE(error);
    EXPECT_EQ(handle, 2);
    EXPECT_EQ(blockSize, 512);
    EXPECT_EQ(blockCount, 256u);
    const auto read = fixtures::readBlocks(service, handle, 255, 1);
    ASSERT_TRUE(read.bytes);
    EXPECT_EQ(*read.bytes, fixtures::slice(image_, 255 * 512, 512));
    fixtures::expectHelperError(fixtures::readBlocks(service, earlier.handle, 0, 1).error, Code::unknownSession,
                                "Unknown session handle 1.");
}

TEST_F(ServiceConcurrencyTest, ConcurrentOpensReceiveDistinctHandlesAndReadTheirOwnBytes) {
    fixtures::DevicePathMapping mapping({{"/dev/rdiskTEST", dir_.file("disk.img")}});
    QuarlinHelperService service;
    constexpr int threads = 6;
    constexpr int opensPerThread = 5;
    std::mutex mutex;
    std::vector<std::int64_t> handles;
    std::atomic<int> wrongBytes{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < opensPerThread; ++i) {
                const auto session = fixtures::openSession(service, "/dev/rdiskTEST");
                {
                    std::lock_guard lock(mutex);
                    handles.push_back(session.handle);
                }
                const auto block = static_cast<std::uint64_t>(t * opensPerThread + i);
                const auto read = fixtures::readBlocks(service, session.handle, block, 1);
                if (!read.bytes || *read.bytes != fixtures::slice(image_, block * 512, 512)) ++wrongBytes;
                if (i % 2 == 0) fixtures::closeSession(service, session.handle);
            }
        });
    }
    for (auto& client : clients) client.join();

    std::vector<std::int64_t> expected(threads * opensPerThread);
    std::iota(expected.begin(), expected.end(), 1);
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(handles, expected);
    EXPECT_EQ(wrongBytes.load(), 0);
}

}  // namespace
}  // namespace quarlin
