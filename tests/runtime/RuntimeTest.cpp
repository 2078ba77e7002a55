// The promises the rest of the system relies on from the task runtime: actor operations run
// one at a time, an actor serves other calls while an operation awaits, it resumes on the
// actor's strand, continuations wake their task exactly once, in the order they are resumed.
#include "runtime/Runtime.h"
#include "../support/Eventually.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quarlin::runtime {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

template <class T>
T getWithin(std::future<T>& future, std::chrono::seconds limit = 20s) {
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "timed out";
        std::abort();  // a hung runtime cannot be unwound safely
    }
    return future.get();
}

// An actor whose state is a plain (non-atomic) counter and a parked continuation. Under
// ThreadSanitizer any two operations overlapping on `count_` would be reported.
class Counter : public Actor {
public:
    Task<void> increment() {
        return isolated([this]() -> Task<void> {
            ++active_;
            maxActive_ = std::max(maxActive_, active_);
            const int before = count_;
            std::this_thread::yield();  // widen the window in which an overlap would show
            count_ = before + 1;
            --active_;
            co_return;
        });
    }

    Task<int> count() {
        return isolated([this]() -> Task<int> { co_return count_; });
    }
    Task<int> maxActive() {
        return isolated([this]() -> Task<int> { co_return maxActive_; });
    }

    // Parks until `wake` is called; reports whether it continued on the actor's strand.
    Task<int> park(std::shared_ptr<std::promise<void>> parked) {
        return isolated([this, parked]() -> Task<int> {
            std::function<void(CheckedContinuation<int>)> body = [this, parked](CheckedContinuation<int> c) {
                parked_.push_back(c);
                parked->set_value();
            };
            const int value = co_await withCheckedContinuation<int>("park()", std::move(body));
            resumedOnStrand_ = strand().running_in_this_thread();
            order_.push_back(value);
            co_return value;
        });
    }

    // Runs while `park` waits and wakes every parked operation, in the order they parked.
    Task<std::size_t> wakeAll(int firstValue) {
        return isolated([this, firstValue]() -> Task<std::size_t> {
            const std::size_t woken = parked_.size();
            int value = firstValue;
            for (auto& c : parked_) c.resume(value++);
            parked_.clear();
            co_return woken;
        });
    }

    Task<std::vector<int>> order() {
        return isolated([this]() -> Task<std::vector<int>> { co_return order_; });
    }
    Task<bool> resumedOnStrand() {
        return isolated([this]() -> Task<bool> { co_return resumedOnStrand_; });
    }

    Task<void> fail() {
        return isolated([]() -> Task<void> {
            throw std::runtime_error("operation failed");
            co_return;
        });
    }

private:
    int count_ = 0;
    int active_ = 0;
    int maxActive_ = 0;
    bool resumedOnStrand_ = false;
    std::vector<CheckedContinuation<int>> parked_;
    std::vector<int> order_;
};

template <class T>
std::future<T> spawn(Task<T> task) {
    return spawnFuture(std::move(task));
}

TEST(ActorTest, OperationsFromManyThreadsRunOneAtATime) {
    Counter counter;
    constexpr int threads = 4;
    constexpr int callsPerThread = 250;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&counter] {
            std::vector<std::future<void>> calls;
            for (int i = 0; i < callsPerThread; ++i) calls.push_back(spawn(counter.increment()));
            for (auto& call : calls) getWithin(call);
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(runBlocking(counter.count()), threads * callsPerThread);
    EXPECT_EQ(runBlocking(counter.maxActive()), 1);
}

TEST(ActorTest, RunsOtherCallsWhileAnOperationAwaitsAndResumesOnItsStrand) {
    Counter counter;
    auto parked = std::make_shared<std::promise<void>>();
    auto parkedFuture = parked->get_future();
    auto first = spawn(counter.park(parked));
    getWithin(parkedFuture);

    // The parked operation holds the actor only until it suspends: these calls must finish
    // before it continues, because it continues only when wakeAll resumes it.
    runBlocking(counter.increment());
    EXPECT_EQ(runBlocking(counter.count()), 1);
    EXPECT_EQ(first.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(runBlocking(counter.wakeAll(42)), 1u);

    EXPECT_EQ(getWithin(first), 42);
    EXPECT_TRUE(runBlocking(counter.resumedOnStrand()));
}

// Calls another actor repeatedly and counts the returns after which it was not on its own
// strand, or still on the callee's.
class Caller : public Actor {
public:
    Task<int> callRepeatedly(Counter& callee, int times) {
        return isolated([this, &callee, times]() -> Task<int> {
            int misplaced = 0;
            const auto check = [&] {
                if (!strand().running_in_this_thread() || callee.strand().running_in_this_thread()) ++misplaced;
            };
            for (int i = 0; i < times; ++i) {
                co_await callee.increment();  // a call without a value
                check();
                co_await callee.count();  // and one with
                check();
            }
            co_return misplaced;
        });
    }
};

TEST(ActorTest, AnActorCallingAnotherContinuesOnItsOwnStrand) {
    Counter callee;
    Caller first, second;
    // Two callers at once, so the callee is sometimes busy and sometimes entered at once.
    auto a = spawn(first.callRepeatedly(callee, 300));
    auto b = spawn(second.callRepeatedly(callee, 300));
    EXPECT_EQ(getWithin(a), 0);
    EXPECT_EQ(getWithin(b), 0);
    EXPECT_EQ(runBlocking(callee.count()), 600);
    EXPECT_EQ(runBlocking(callee.maxActive()), 1);
}

TEST(ActorTest, ErrorsOfAnOperationReachTheCaller) {
    Counter counter;
    EXPECT_THROW(runBlocking(counter.fail()), std::runtime_error);
    // The actor keeps serving after a failed operation.
    runBlocking(counter.increment());
    EXPECT_EQ(runBlocking(counter.count()), 1);
}

TEST(ContinuationTest, ParkedOperationsWakeInTheOrderTheyAreResumed) {
    Counter counter;
    constexpr int waiters = 8;
    std::vector<std::future<int>> results;
    for (int i = 0; i < waiters; ++i) {
        auto parked = std::make_shared<std::promise<void>>();
        auto parkedFuture = parked->get_future();
        results.push_back(spawn(counter.park(parked)));
        getWithin(parkedFuture);
    }
    EXPECT_EQ(runBlocking(counter.wakeAll(100)), static_cast<std::size_t>(waiters));
    for (int i = 0; i < waiters; ++i) EXPECT_EQ(getWithin(results[i]), 100 + i);
    EXPECT_EQ(runBlocking(counter.order()), (std::vector<int>{100, 101, 102, 103, 104, 105, 106, 107}));
}

TEST(ContinuationTest, SecondResumeIsIgnoredAndReportedWithTheLabel) {
    std::optional<CheckedContinuation<int>> handle;
    auto handed = std::make_shared<std::promise<void>>();
    auto handedFuture = handed->get_future();
    auto result = spawn(withCheckedContinuation<int>("quiesce(bsdName:)", [&handle, handed](CheckedContinuation<int> c) {
        handle = c;
        handed->set_value();
    }));
    getWithin(handedFuture);
    EXPECT_EQ(handle->label(), "quiesce(bsdName:)");

    testing::internal::CaptureStderr();
    std::thread other([&] { handle->resume(1); });
    other.join();
    handle->resume(2);
    const std::string report = testing::internal::GetCapturedStderr();

    EXPECT_EQ(getWithin(result), 1);
    EXPECT_THAT(report, HasSubstr("quiesce(bsdName:)"));
    EXPECT_THAT(report, HasSubstr("more than once"));
}

TEST(ContinuationTest, DroppedWithoutResumeIsReportedWithTheLabel) {
    testing::internal::CaptureStderr();
    auto abandoned = spawn(withCheckedContinuation<void>("waitWhilePaused()", [](CheckedContinuation<void>) {}));
    // The task is abandoned: its completion is never delivered.
    EXPECT_THROW(getWithin(abandoned), std::future_error);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_THAT(report, HasSubstr("waitWhilePaused()"));
    EXPECT_THAT(report, HasSubstr("never resumed"));
}

TEST(TaskTest, DetachedTaskKeepsItsCapturesAliveUntilItEnds) {
    auto owned = std::make_shared<int>(5);
    std::weak_ptr<int> observer = owned;
    // The promises are shared with the task: it may still be inside set_value when the
    // test thread has already woken up.
    auto started = std::make_shared<std::promise<void>>();
    auto seen = std::make_shared<std::promise<int>>();
    auto startedFuture = started->get_future();
    auto seenFuture = seen->get_future();
    std::promise<void> release;
    auto released = release.get_future().share();
    detach([owned = std::move(owned), started, released, seen]() -> Task<void> {
        started->set_value();
        // Wait off the pool so the test thread can look at the capture meanwhile.
        std::function<void(CheckedContinuation<void>)> body = [released](CheckedContinuation<void> c) {
            std::thread([released, c] {
                released.wait();
                c.resume();
            }).detach();
        };
        co_await withCheckedContinuation<void>("test", std::move(body));
        seen->set_value(*owned);
    });
    startedFuture.wait();
    EXPECT_FALSE(observer.expired());
    release.set_value();
    EXPECT_EQ(getWithin(seenFuture), 5);
    EXPECT_TRUE(testsupport::eventually([&] { return observer.expired(); })) << "the task's captures outlived it";
}

TEST(TaskTest, TasksDetachedTogetherRunSideBySide) {
    // Two tasks detached by one pool task each block their thread until the other has
    // started: they finish only if the pool runs them at the same time, not one after the
    // other on the thread that detached them.
    auto started = std::make_shared<std::array<std::promise<void>, 2>>();
    auto sawOther = std::make_shared<std::array<std::promise<bool>, 2>>();
    std::array<std::shared_future<void>, 2> startedFutures{(*started)[0].get_future().share(),
                                                           (*started)[1].get_future().share()};
    std::array<std::future<bool>, 2> saw{(*sawOther)[0].get_future(), (*sawOther)[1].get_future()};
    runBlockingFunction([&]() -> Task<void> {
        for (int i = 0; i < 2; ++i) {
            detach([i, started, sawOther, other = startedFutures[1 - i]]() -> Task<void> {
                (*started)[i].set_value();
                (*sawOther)[i].set_value(other.wait_for(5s) == std::future_status::ready);
                co_return;
            });
        }
        co_return;
    });
    EXPECT_TRUE(getWithin(saw[0]));
    EXPECT_TRUE(getWithin(saw[1]));
}

TEST(TaskTest, ErrorEscapingADetachedTaskIsReportedNotFatal) {
    testing::internal::CaptureStderr();
    auto thrown = std::make_shared<std::promise<void>>();
    auto thrownFuture = thrown->get_future();
    detach([thrown]() -> Task<void> {
        thrown->set_value();
        throw std::runtime_error("escaped error");
        co_return;
    });
    getWithin(thrownFuture);
    // The report is written after the throw; wait for it to land.
    std::string report;
    for (int i = 0; i < 2000 && report.find("escaped error") == std::string::npos; ++i) {
        std::this_thread::sleep_for(1ms);
        if (i % 100 == 99) {
            report += testing::internal::GetCapturedStderr();
            testing::internal::CaptureStderr();
        }
    }
    report += testing::internal::GetCapturedStderr();
    EXPECT_THAT(report, HasSubstr("escaped error"));
}

}  // namespace
}  // namespace quarlin::runtime
