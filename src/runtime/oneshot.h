// One-shot signal without payload.
//
// `make_oneshot()` returns a (sender, receiver) pair. The signal fires once:
// when `send()` is called, or when the sender is destroyed without having
// sent. `co_await receiver` completes when the signal has fired and says
// how: true for `send()`, false for a sender dropped unsent. `fired()` asks
// without waiting.
//
// Contract:
// - Sender and receiver are move-only and may live on any threads; `send`,
//   the sender's destructor and `fired` may be called from any thread.
// - One task at a time awaits the receiver (directly or through
//   IoHandle::readable_or); it resumes on its own runtime.
//   Destroying the waiting task (or the receiver, after the wait is over)
//   is safe at any time: the waiter is queued on its runtime under the
//   signal's lock, and a wait unregisters under the same lock.
#pragma once

#include <atomic>
#include <coroutine>
#include <memory>
#include <mutex>
#include <utility>

#include "runtime/runtime.h"

namespace ravo::runtime {

class OneshotReceiver;
class ReadyOrSignalAwaiter;

namespace detail {

struct OneshotState {
    std::mutex mu;            // guards `done`, `sent` and `waiter`
    bool done = false;
    bool sent = false;
    AsyncWaiter waiter;
    // Mirrors `done` for the lock-free `fired()` query. release (in fire)
    // pairs with the acquire load in fired().
    std::atomic<bool> fired{false};

    void fire(bool by_send) noexcept;
};

}  // namespace detail

class OneshotSender {
public:
    OneshotSender(OneshotSender&&) noexcept = default;
    OneshotSender& operator=(OneshotSender&& other) noexcept;
    OneshotSender(const OneshotSender&) = delete;
    OneshotSender& operator=(const OneshotSender&) = delete;
    // Fires the signal (as "not sent") unless `send()` was called.
    ~OneshotSender();

    // Fires the signal. Later calls do nothing.
    void send() noexcept;

private:
    friend std::pair<OneshotSender, OneshotReceiver> make_oneshot();
    explicit OneshotSender(std::shared_ptr<detail::OneshotState> state) : state_(std::move(state)) {}
    std::shared_ptr<detail::OneshotState> state_;
};

class OneshotReceiver {
public:
    OneshotReceiver(OneshotReceiver&&) noexcept = default;
    OneshotReceiver& operator=(OneshotReceiver&&) noexcept = default;
    OneshotReceiver(const OneshotReceiver&) = delete;
    OneshotReceiver& operator=(const OneshotReceiver&) = delete;
    ~OneshotReceiver() = default;

    // True once the signal has fired (by send or by the sender's drop).
    bool fired() const noexcept;

    class Awaiter {
    public:
        explicit Awaiter(detail::OneshotState* state) noexcept : state_(state) {}
        Awaiter(const Awaiter&) = delete;
        Awaiter& operator=(const Awaiter&) = delete;
        ~Awaiter();

        bool await_ready() const noexcept;
        bool await_suspend(std::coroutine_handle<> handle) noexcept;
        bool await_resume() const noexcept;  // true: sent; false: sender dropped

    private:
        detail::OneshotState* state_;
        std::coroutine_handle<> handle_{};  // set (under the lock) while registered
    };
    // From a task on a runtime. Precondition: a receiver from make_oneshot.
    Awaiter operator co_await() const& noexcept { return Awaiter(state_.get()); }

private:
    friend std::pair<OneshotSender, OneshotReceiver> make_oneshot();
    friend class ReadyOrSignalAwaiter;
    explicit OneshotReceiver(std::shared_ptr<detail::OneshotState> state) : state_(std::move(state)) {}
    std::shared_ptr<detail::OneshotState> state_;
};

std::pair<OneshotSender, OneshotReceiver> make_oneshot();

}  // namespace ravo::runtime
