#include "QuarlinCore/io/ScanPauseToken.h"

#include <utility>

namespace quarlin {

ScanPauseToken::ScanPauseToken() : state_(std::make_shared<State>()) {}

runtime::Task<bool> ScanPauseToken::isPaused() {
    return isolated([state = state_]() -> runtime::Task<bool> { co_return state->paused; });
}

runtime::Task<void> ScanPauseToken::pause() {
    return isolated([state = state_]() -> runtime::Task<void> {
        state->paused = true;
        co_return;
    });
}

runtime::Task<void> ScanPauseToken::resume() {
    return isolated([state = state_]() -> runtime::Task<void> {
        state->paused = false;
        // Out of the list before any is resumed, so none can be resumed twice.
        auto woken = std::exchange(state->waiters, {});
        for (const auto& waiter : woken) waiter.resume();
        co_return;
    });
}

runtime::Task<void> ScanPauseToken::waitWhilePaused() {
    return isolated([state = state_]() -> runtime::Task<void> {
        while (state->paused) {
            // The body runs on the actor before the task suspends, so a resume() cannot
            // slip in between the check and the enqueue; the woken task continues on the
            // actor and checks again.
            co_await runtime::withCheckedContinuation<void>(
                "waitWhilePaused()", [&state](runtime::CheckedContinuation<void> continuation) {
                    if (!state->paused) {
                        continuation.resume();
                    } else {
                        state->waiters.push_back(std::move(continuation));
                    }
                });
        }
    });
}

}  // namespace quarlin
