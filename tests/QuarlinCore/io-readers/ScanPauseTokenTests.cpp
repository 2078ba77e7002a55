#include "QuarlinCore/io/ScanPauseToken.h"

#include <gtest/gtest.h>

#include <asio/detached.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/Runtime.h"

namespace quarlin {
namespace {

using namespace std::chrono_literals;
using runtime::Task;

// Runs `f()` on the token's own strand and waits for it, so that a test can order its
// steps against the waiters exactly as the actor does.
template <class F>
void onTokenStrand(ScanPauseToken& token, F f) {
    asio::co_spawn(token.strand(), std::move(f), asio::use_future).get();
}

// Lets everything already queued on the token's strand run first.
void drainStrand(ScanPauseToken& token) {
    asio::post(token.strand(), asio::use_future).get();
}

// Waiters that suspended one after another come back in that same order.
// Pausing and resuming twice is the same as once.
TEST(ScanPauseToken, ResumeWakesWaitersInTheOrderTheyBeganToWait) {
    ScanPauseToken token;
    runtime::runBlocking(token.resume());
    runtime::runBlocking(token.waitWhilePaused());  // returns at once on a running token
    runtime::runBlocking(token.pause());
    runtime::runBlocking(token.pause());
    constexpr int kWaiters = 5;
    std::vector<int> order;  // touched only on the token's strand
    std::vector<std::future<void>> done;
    for (int waiter = 0; waiter < kWaiters; ++waiter) {
        done.push_back(asio::co_spawn(
            token.strand(),
            [&token, &order, waiter]() -> Task<void> {
                co_await token.waitWhilePaused();
                order.push_back(waiter);
            },
            asio::use_future));
    }
    drainStrand(token);
    EXPECT_TRUE(order.empty());

    EXPECT_TRUE(runtime::runBlocking(token.isPaused()));
    runtime::runBlocking(token.resume());
    for (auto& d : done) ASSERT_EQ(d.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    runtime::runBlocking(token.resume());
    EXPECT_FALSE(runtime::runBlocking(token.isPaused()));
}

// A pause that comes before the woken waiters get to run sends them back to wait: each
// checks again when it wakes, and only the next resume lets them through.
TEST(ScanPauseToken, WokenWaitersWaitAgainIfPausedBeforeTheyRun) {
    ScanPauseToken token;
    runtime::runBlocking(token.pause());
    constexpr int kWaiters = 3;
    std::atomic<int> passed{0};
    std::vector<std::future<void>> done;
    for (int waiter = 0; waiter < kWaiters; ++waiter) {
        done.push_back(asio::co_spawn(
            runtime::sharedPool(),
            [&token, &passed]() -> Task<void> {
                co_await token.waitWhilePaused();
                passed.fetch_add(1);
            },
            asio::use_future));
    }
    // Give the waiters time to reach the token; the outcome below does not depend on it.
    std::this_thread::sleep_for(20ms);

    // Both calls run within one turn of the token's strand, ahead of the woken waiters.
    onTokenStrand(token, [&token]() -> Task<void> {
        asio::co_spawn(token.strand(), token.resume(), asio::detached);
        asio::co_spawn(token.strand(), token.pause(), asio::detached);
        co_return;
    });
    drainStrand(token);
    EXPECT_TRUE(runtime::runBlocking(token.isPaused()));
    EXPECT_EQ(passed.load(), 0);
    for (auto& d : done) EXPECT_EQ(d.wait_for(0ms), std::future_status::timeout);

    runtime::runBlocking(token.resume());
    for (auto& d : done) ASSERT_EQ(d.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(passed.load(), kWaiters);
}

// Scanning tasks on the shared pool hit their checkpoints while a controller pauses and
// resumes over and over; every task finishes once the token is left running, and no task
// gets past a checkpoint while the token is held paused.
TEST(ScanPauseToken, ManyScanningTasksAndAController) {
    ScanPauseToken token;
    constexpr int kTasks = 8;
    constexpr int kCheckpoints = 200;
    std::atomic<int> checkpointsPassed{0};
    std::vector<std::future<void>> scans;
    for (int task = 0; task < kTasks; ++task) {
        scans.push_back(asio::co_spawn(
            runtime::sharedPool(),
            [&token, &checkpointsPassed]() -> Task<void> {
                for (int checkpoint = 0; checkpoint < kCheckpoints; ++checkpoint) {
                    co_await token.waitWhilePaused();
                    checkpointsPassed.fetch_add(1);
                }
            },
            asio::use_future));
    }
    for (int round = 0; round < 50; ++round) {
        runtime::runBlocking(token.pause());
        drainStrand(token);
        // Tasks that were already past the check may still count once; after that the
        // count must hold still while the token stays paused.
        const int frozenAt = checkpointsPassed.load() + kTasks;
        std::this_thread::sleep_for(1ms);
        EXPECT_LE(checkpointsPassed.load(), frozenAt);
        runtime::runBlocking(token.resume());
    }
    for (auto& scan : scans) ASSERT_EQ(scan.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(checkpointsPassed.load(), kTasks * kCheckpoints);
}

// A waiter keeps what it waits on alive: the token can go away while tasks are
// suspended, and nothing is touched after it is freed.
TEST(ScanPauseToken, WaiterOutlivesTheTokenObjectItWaitsOn) {
    auto token = std::make_unique<ScanPauseToken>();
    runtime::runBlocking(token->pause());
    auto waiting = asio::co_spawn(runtime::sharedPool(), token->waitWhilePaused(), asio::use_future);
    // Hand the resume to a detached task that outlives the token object.
    auto resumeLater = token->resume();
    token.reset();
    runtime::runBlocking(std::move(resumeLater));
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace quarlin
