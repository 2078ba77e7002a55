// Lets a long scan be paused and resumed from outside without polling: the controller
// calls pause() and resume(); the scanning tasks call waitWhilePaused() at their
// checkpoints, which returns at once while the token runs and otherwise suspends until
// the token is resumed.
#pragma once

#include <deque>
#include <memory>

#include "runtime/Runtime.h"

namespace quarlin {

class ScanPauseToken final : public runtime::Actor {
public:
    ScanPauseToken();

    runtime::Task<bool> isPaused();
    // Idempotent; suspends nobody by itself.
    runtime::Task<void> pause();
    // Idempotent; wakes every waiter, first suspended first, each exactly once.
    runtime::Task<void> resume();
    // Returns when the token is, or has become, running. A task woken by resume() checks
    // again on the token and waits again if pause() came first. There is no cancellation.
    runtime::Task<void> waitWhilePaused();

private:
    // The operations hold this state, not the token, so a suspended waiter keeps it alive
    // even if the token itself goes away.
    struct State {
        bool paused = false;
        std::deque<runtime::CheckedContinuation<void>> waiters;
    };
    std::shared_ptr<State> state_;
};

}  // namespace quarlin
