// Lazy coroutine task: the unit of asynchronous work that a `Runtime` runs.
//
// Contract:
// - A `Task<T>` is created suspended (lazy) and owns its coroutine frame.
//   Nothing runs until the task is awaited (`co_await std::move(task)` from
//   another coroutine) or handed to `Runtime::spawn` (only `Task<void>`).
// - Awaiting a task starts it at once on the awaiting thread. If it finishes
//   without suspending, the awaiter simply continues (no stack growth, however
//   many such awaits run in a loop, with or without tail-call optimisation,
//   so sanitizer and debug builds behave like release builds). If it
//   suspends, the awaiter suspends too, and when the child finishes (on
//   whichever worker resumed it) control transfers straight to the awaiter.
// - Destroying a `Task` destroys its frame. A suspended parent owns the child
//   it awaits (the awaited `Task` lives in the parent's frame), so destroying
//   a suspended parent destroys the whole chain below it, innermost wait point
//   included, and every local's destructor runs. This is how a runtime
//   cancels tasks: it destroys their top-level frames.
// - A task is awaited at most once. An exception that escapes a task body is
//   stored and rethrown to the awaiter; tasks in this system report failures
//   as values (`Result`), so this is a last-resort path only.
// - A `Task` object itself is not thread-safe; it is moved between threads
//   only by ownership transfer.
#pragma once

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace ravo::runtime {

template <typename T = void>
class Task;

namespace detail {

// What every task promise shares: lazy start, the hand-over to the awaiting
// coroutine at the end, and a slot for an escaped exception.
//
// The hand-over is a race between two parties, settled by one exchange each
// on `handoff_`: the awaiter, once the child's first run has returned to it
// (the child finished or suspended), and the child, at its final suspend
// (possibly on another worker, possibly while the awaiter is still inside
// its await_suspend). Whoever comes second knows the other is done: if the
// child comes second, the awaiter is suspended and the child transfers to
// it; if the awaiter comes second, the child has finished and the awaiter
// just continues.
class TaskPromiseBase {
public:
    std::suspend_always initial_suspend() const noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        template <typename Promise>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) const noexcept {
            TaskPromiseBase& promise = self.promise();
            const std::coroutine_handle<> next = promise.continuation_;
            // acq_rel: release publishes the result to the awaiter, acquire
            // pairs with the awaiter's exchange (its suspension). Nothing in
            // the frame is touched afterwards: the awaiter may destroy it.
            if (promise.handoff_.exchange(kChildDone, std::memory_order_acq_rel) == kAwaiterSuspended) return next;
            return std::noop_coroutine();
        }
        void await_resume() const noexcept {}
    };
    FinalAwaiter final_suspend() const noexcept { return {}; }

    void unhandled_exception() noexcept { exception_ = std::current_exception(); }

    // Starts the child on the calling thread; true when the awaiter must
    // stay suspended (the child will transfer to it when it finishes).
    template <typename Promise>
    static bool start_awaited(std::coroutine_handle<Promise> child, std::coroutine_handle<> awaiter) noexcept {
        TaskPromiseBase& promise = child.promise();
        promise.continuation_ = awaiter;
        std::atomic<std::uint8_t>& handoff = promise.handoff_;
        child.resume();
        // acq_rel: acquire pairs with the child's exchange (its result),
        // release with the child's acquire (our suspension). Only locals are
        // used afterwards: once suspended, the awaiter may already be
        // running elsewhere.
        return handoff.exchange(kAwaiterSuspended, std::memory_order_acq_rel) != kChildDone;
    }

protected:
    void rethrow_if_failed() const {
        if (exception_) std::rethrow_exception(exception_);
    }

private:
    static constexpr std::uint8_t kRunning = 0;
    static constexpr std::uint8_t kChildDone = 1;
    static constexpr std::uint8_t kAwaiterSuspended = 2;

    std::coroutine_handle<> continuation_;  // written before the child starts
    std::atomic<std::uint8_t> handoff_{kRunning};
    std::exception_ptr exception_;
};

template <typename T>
class TaskPromise final : public TaskPromiseBase {
public:
    Task<T> get_return_object() noexcept;

    template <typename U>
        requires std::is_constructible_v<T, U&&>
    void return_value(U&& value) {
        value_.emplace(std::forward<U>(value));
    }

    T take_result() {
        rethrow_if_failed();
        return std::move(*value_);
    }

private:
    std::optional<T> value_;
};

template <>
class TaskPromise<void> final : public TaskPromiseBase {
public:
    Task<void> get_return_object() noexcept;
    void return_void() const noexcept {}
    void take_result() const { rethrow_if_failed(); }
};

}  // namespace detail

template <typename T>
class [[nodiscard]] Task {
    static_assert(!std::is_reference_v<T>, "a task returns values, not references into its frame");

public:
    using promise_type = detail::TaskPromise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task() noexcept = default;
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    // False for a default-constructed or moved-from task.
    bool valid() const noexcept { return static_cast<bool>(handle_); }

    // Gives up ownership of the frame (the runtime takes it over in spawn).
    Handle release() noexcept { return std::exchange(handle_, {}); }

    // Awaiting starts the child and resumes the awaiter with its result.
    // Precondition: valid(), and not awaited before.
    struct Awaiter {
        Handle child;
        bool await_ready() const noexcept { return child.done(); }
        bool await_suspend(std::coroutine_handle<> parent) const noexcept {
            return detail::TaskPromiseBase::start_awaited(child, parent);
        }
        T await_resume() const { return child.promise().take_result(); }
    };
    Awaiter operator co_await() const& noexcept { return Awaiter{handle_}; }
    Awaiter operator co_await() const&& noexcept { return Awaiter{handle_}; }

private:
    friend class detail::TaskPromise<T>;
    explicit Task(Handle handle) noexcept : handle_(handle) {}

    void reset() noexcept {
        if (handle_) std::exchange(handle_, {}).destroy();
    }

    Handle handle_;
};

namespace detail {

template <typename T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
    return Task<T>(Task<T>::Handle::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
    return Task<void>(Task<void>::Handle::from_promise(*this));
}

}  // namespace detail

}  // namespace ravo::runtime
