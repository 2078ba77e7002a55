// Tasks, actors and one-shot continuations on standalone Asio.
// One process-wide thread pool runs every task; an actor is a strand of that pool plus
// the state it owns, so its operations run one at a time and interleave only at awaits.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/defer.hpp>
#include <asio/execution.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace quarlin::runtime {

template <class T>
using Task = asio::awaitable<T>;
using Executor = asio::thread_pool::executor_type;
using Strand = asio::strand<Executor>;
// The pool's executor marked as running continuations: work it is given from a pool thread
// is queued behind the current task on that thread rather than waking another thread.
using ContinuationPoolExecutor =
    std::decay_t<decltype(asio::prefer(std::declval<Executor>(), asio::execution::relationship.continuation))>;
// An actor's strand. Each time it is scheduled it continues on the thread that scheduled
// it, so a chain of actor calls made from one task stays on one core.
using ActorStrand = asio::strand<ContinuationPoolExecutor>;

// The shared concurrent executor. Created on first use, lives for the process.
asio::thread_pool& sharedPool();
// How many threads the shared pool runs (tests occupy them all to hold tasks back).
std::size_t sharedPoolThreadCount();

void reportUnhandled(const char* what);

// Starts an unstructured task: `coroutineFunction()` returns Task<void> and runs on the
// shared pool, concurrently with the caller. The function object (and so everything it
// captures) lives until the task ends. Nobody awaits or cancels it; an exception that
// escapes it is reported on stderr.
//
// The task is always queued, also when the caller runs on the pool itself: started in
// place it would run until its first suspension before the caller goes on, and a task that
// blocks (a read of a device) would hold up the caller, and every task it starts after.
// From a pool thread it is queued on that thread, to start once the caller's task yields
// the thread: a chain of tasks each detaching the next stays on one core with its data,
// while tasks detached together still spread over the pool, because a thread that takes
// one of several queued tasks wakes another thread for the rest.
template <class F>
void detach(F&& coroutineFunction) {
    asio::defer(sharedPool().get_executor(), [f = std::forward<F>(coroutineFunction)]() mutable {
        asio::co_spawn(sharedPool(), std::move(f), [](std::exception_ptr e) {
            if (e) {
                try {
                    std::rethrow_exception(e);
                } catch (const std::exception& error) {
                    reportUnhandled(error.what());
                } catch (...) {
                    reportUnhandled("unknown exception");
                }
            }
        });
    });
}

// Starts a task on the shared pool and returns a future of its value or error. The future
// is fulfilled from the pool thread itself, never through Asio's system executor, whose
// global context is torn down at exit while the (never destroyed) pool still runs.
template <class T>
std::future<T> spawnFuture(Task<T> task) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    asio::co_spawn(sharedPool(), std::move(task), [promise](std::exception_ptr error, auto... value) {
        if (error) {
            promise->set_exception(error);
        } else {
            promise->set_value(std::move(value)...);
        }
    });
    return future;
}

// Runs a task on the shared pool and blocks the calling thread until it ends, returning
// its value or rethrowing its error. For main() and tests; never call it from the pool.
template <class T>
T runBlocking(Task<T> task) {
    return spawnFuture(std::move(task)).get();
}

// Runs `f()` (returning Task<T>) on the shared pool, blocking the caller, for lambdas.
template <class F>
auto runBlockingFunction(F f) -> typename std::invoke_result_t<F&>::value_type {
    using Result = typename std::invoke_result_t<F&>::value_type;
    auto owned = std::make_shared<F>(std::move(f));
    return runBlocking<Result>([owned]() -> Task<Result> { co_return co_await (*owned)(); }());
}

namespace detail {

// Wraps an executor so that work handed to it is deferred there: from a thread of the
// pool it is queued behind the current task on that same thread, instead of being posted
// to the pool at large, which would wake another thread to run it. Asio posts a spawned
// task's completion to the handler's executor; binding this wrapper turns that post into
// a continuation.
template <class Inner>
class ContinuationExecutor {
public:
    // Constrained to the inner type itself: a plain `Inner` parameter would let the
    // compiler try to convert a ContinuationExecutor into an any_io_executor while asking
    // whether ContinuationExecutor is copyable, which asks whether it is an executor.
    template <class I>
        requires std::same_as<std::remove_cvref_t<I>, Inner>
    explicit ContinuationExecutor(I&& inner) : inner_(std::forward<I>(inner)) {}

    template <class Function>
    void execute(Function&& function) const {
        asio::defer(inner_, std::forward<Function>(function));
    }
    asio::execution_context& query(asio::execution::context_t) const noexcept {
        return asio::query(inner_, asio::execution::context);
    }
    static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
        return asio::execution::blocking.never;
    }
    ContinuationExecutor require(asio::execution::blocking_t::never_t) const { return *this; }

    friend bool operator==(const ContinuationExecutor& a, const ContinuationExecutor& b) noexcept {
        return a.inner_ == b.inner_;
    }
    friend bool operator!=(const ContinuationExecutor& a, const ContinuationExecutor& b) noexcept {
        return !(a == b);
    }

private:
    Inner inner_;
};

// What a spawned task completes with: its error, and its value unless it has none.
template <class T>
struct SpawnSignature {
    using type = void(std::exception_ptr, T);
};
template <>
struct SpawnSignature<void> {
    using type = void(std::exception_ptr);
};

}  // namespace detail

// Base of every actor. Construction is synchronous on the caller's thread; constants the
// subclass fixes in its constructor are read from any thread without entering the actor.
class Actor {
public:
    Actor();
    virtual ~Actor() = default;
    Actor(const Actor&) = delete;
    Actor& operator=(const Actor&) = delete;

    ActorStrand& strand() { return strand_; }

protected:
    // Runs `f()` (which returns Task<T>) on this actor's strand and awaits it from the
    // caller. While the operation awaits something outside the actor the strand runs other
    // calls; the operation continues on the strand afterwards, and the caller resumes on
    // its own executor. Errors travel to the caller.
    //
    // Entering an idle strand from a pool thread runs the operation on that thread at once.
    // When it ends, the caller is queued as a continuation of the current pool task: it
    // resumes on the same thread as soon as the operation has unwound, no other thread is
    // woken for it, and a large result stays in the cache of the core that produced it.
    template <class F>
    auto isolated(F f) -> std::invoke_result_t<F&> {
        using Value = typename std::invoke_result_t<F&>::value_type;
        return asio::async_initiate<decltype(asio::use_awaitable), typename detail::SpawnSignature<Value>::type>(
            // The strand is copied now: the returned task may start after the actor is gone.
            [strand = strand_](auto handler, F operation) {
                auto resumeOn = asio::get_associated_executor(handler, sharedPool().get_executor());
                using Continuation = detail::ContinuationExecutor<decltype(resumeOn)>;
                asio::co_spawn(strand, std::move(operation),
                               asio::bind_executor(Continuation(std::move(resumeOn)), std::move(handler)));
            },
            asio::use_awaitable, std::move(f));
    }

private:
    ActorStrand strand_;
};

namespace detail {

// The state one continuation's copies share. `complete` hands the value to the awaiting
// coroutine's completion handler; a flag makes it happen at most once.
template <class T>
struct ContinuationState {
    explicit ContinuationState(std::string l) : label(std::move(l)) {}
    virtual ~ContinuationState() = default;
    virtual void complete(T value) = 0;
    std::string label;
    std::atomic<bool> resumed{false};
};

template <>
struct ContinuationState<void> {
    explicit ContinuationState(std::string l) : label(std::move(l)) {}
    virtual ~ContinuationState() = default;
    virtual void complete() = 0;
    std::string label;
    std::atomic<bool> resumed{false};
};

void reportSecondResume(const std::string& label);
void reportLeakedContinuation(const std::string& label);

template <class T, class Handler>
struct HandlerState final : ContinuationState<T> {
    HandlerState(std::string l, Handler h) : ContinuationState<T>(std::move(l)), handler(std::move(h)) {}
    ~HandlerState() override {
        if (!this->resumed.load()) reportLeakedContinuation(this->label);
    }
    void complete(T value) override {
        auto executor = asio::get_associated_executor(handler, sharedPool().get_executor());
        asio::post(executor, [h = std::move(handler), v = std::move(value)]() mutable {
            std::move(h)(std::move(v));
        });
    }
    Handler handler;
};

template <class Handler>
struct HandlerState<void, Handler> final : ContinuationState<void> {
    HandlerState(std::string l, Handler h) : ContinuationState<void>(std::move(l)), handler(std::move(h)) {}
    ~HandlerState() override {
        if (!this->resumed.load()) reportLeakedContinuation(this->label);
    }
    void complete() override {
        auto executor = asio::get_associated_executor(handler, sharedPool().get_executor());
        asio::post(executor, [h = std::move(handler)]() mutable { std::move(h)(); });
    }
    Handler handler;
};

}  // namespace detail

// A checked one-shot continuation: the handle a suspended task gives to whoever will wake
// it. Copies share one state. The first resume wakes the task; any later resume is
// reported on stderr with the label and does nothing. If the last copy goes away without a
// resume, that is reported with the label too (the suspended task is then abandoned).
template <class T>
class CheckedContinuation {
public:
    explicit CheckedContinuation(std::shared_ptr<detail::ContinuationState<T>> state)
        : state_(std::move(state)) {}

    void resume(T value) const {
        if (state_->resumed.exchange(true)) {
            detail::reportSecondResume(state_->label);
            return;
        }
        state_->complete(std::move(value));
    }
    const std::string& label() const { return state_->label; }

private:
    std::shared_ptr<detail::ContinuationState<T>> state_;
};

template <>
class CheckedContinuation<void> {
public:
    explicit CheckedContinuation(std::shared_ptr<detail::ContinuationState<void>> state)
        : state_(std::move(state)) {}

    void resume() const {
        if (state_->resumed.exchange(true)) {
            detail::reportSecondResume(state_->label);
            return;
        }
        state_->complete();
    }
    const std::string& label() const { return state_->label; }

private:
    std::shared_ptr<detail::ContinuationState<void>> state_;
};

namespace detail {
template <class T>
struct ResumeSignature {
    using type = void(T);
};
template <>
struct ResumeSignature<void> {
    using type = void();
};
}  // namespace detail

// Suspends the calling coroutine and calls `body` with a continuation; the coroutine
// resumes on its own executor (the actor's strand inside an actor) once the continuation
// is resumed, returning the value it was resumed with.
//
// Name the body before awaiting: g++ 12 destroys twice a lambda (or aggregate) temporary
// with owning captures that is an argument of a call inside a co_await expression, so
//     std::function<void(CheckedContinuation<int>)> body = [state](CheckedContinuation<int> c) { ... };
//     co_await withCheckedContinuation<int>("label", std::move(body));
// and never the lambda written inline, unless it captures nothing that owns.
template <class T>
Task<T> withCheckedContinuation(std::string label,
                                std::function<void(CheckedContinuation<T>)> body) {
    using Signature = typename detail::ResumeSignature<T>::type;
    return asio::async_initiate<decltype(asio::use_awaitable), Signature>(
        [label = std::move(label), body = std::move(body)](auto handler) mutable {
            using Handler = decltype(handler);
            auto state =
                std::make_shared<detail::HandlerState<T, Handler>>(std::move(label), std::move(handler));
            body(CheckedContinuation<T>(std::move(state)));
        },
        asio::use_awaitable);
}

}  // namespace quarlin::runtime
