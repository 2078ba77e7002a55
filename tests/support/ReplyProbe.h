// A reply block that records how it was used: how often it was called, with what, and
// whether it was destroyed without ever being called. `finish()` waits for the block to be
// called and released, then insists on exactly one call.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>

#include "HelperProtocol/Reply.h"

namespace quarlin::fixtures {

template <class... Arguments>
class ReplyProbe {
public:
    Reply<Arguments...> reply() {
        return [guard = Guard(state_)](Arguments... arguments) mutable {
            guard.called = true;
            std::lock_guard lock(guard.state->mutex);
            ++guard.state->calls;
            guard.state->values.emplace(std::move(arguments)...);
            guard.state->changed.notify_all();
        };
    }

    bool called() const {
        std::lock_guard lock(state_->mutex);
        return state_->calls > 0;
    }

    // Waits for the call and for the block's release; fails the test unless it was called
    // exactly once, and aborts if it never comes (a lost reply would hang the test).
    std::tuple<Arguments...> finish(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(state_->mutex);
        if (!state_->changed.wait_for(lock, limit, [&] { return state_->released; })) {
            ADD_FAILURE() << "reply block neither called nor released";
            std::abort();
        }
        EXPECT_FALSE(state_->droppedUncalled) << "reply block destroyed without a call";
        EXPECT_EQ(state_->calls, 1) << "reply block not called exactly once";
        if (!state_->values) {
            ADD_FAILURE() << "no reply values";
            std::abort();
        }
        return *state_->values;
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        int calls = 0;
        bool released = false;
        bool droppedUncalled = false;
        std::optional<std::tuple<Arguments...>> values;
    };
    struct Guard {
        explicit Guard(std::shared_ptr<State> s) : state(std::move(s)) {}
        Guard(Guard&& other) noexcept : state(std::move(other.state)), called(other.called) {}
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (!state) return;
            std::lock_guard lock(state->mutex);
            state->released = true;
            if (!called) state->droppedUncalled = true;
            state->changed.notify_all();
        }
        std::shared_ptr<State> state;
        bool called = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quarlin::fixtures
