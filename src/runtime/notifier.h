// Notifier: lossless wake-ups between producers and waiting tasks or threads.
//
// Protocol for a waiter: take a `Ticket`, then test the condition, then wait
// on the ticket (and after the wait start over with a new ticket). Because the
// ticket exists before the test, no wake-up given after the test is lost:
//
// - `notify_one()` wakes one waiting ticket (oldest first). If no ticket is
//   waiting it stores one pending wake-up (never more than one), which the
//   next ticket to wait consumes at once.
// - `notify_all()` wakes every ticket taken before the call, waiting or not
//   yet waiting (such a ticket completes at once when it waits), and stores
//   nothing for tickets taken later. A pending wake-one is left as it is.
// - A ticket that was handed a wake-one but dropped before its waiter saw it
//   (its task was destroyed after being woken) passes the wake-up on, to
//   another waiting ticket or back as the pending wake-up.
//
// Threads: every operation may be called from any thread. Tickets are waited
// on from tasks (`co_await ticket`, resumed on the task's own runtime) or
// from plain threads (`wait_blocking`). A ticket belongs to one waiter and is
// waited on at most once; a ticket that has completed completes at once if
// waited on again. The notifier must outlive its tickets (users hold it in a
// `std::shared_ptr` next to the tickets' owners).
//
// Cost: `notify_one()` when a wake-up is already pending is one fence and
// one load; with nobody waiting and nothing pending, one compare-and-swap.
// Taking a ticket is one fence and one load. Only a wake-up of a waiting
// ticket, a wait that has to suspend, and `notify_all()` take the lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "runtime/padded.h"
#include "runtime/runtime.h"

namespace ravo::runtime {

class Notifier;

namespace detail {

enum class WakeKind : std::uint8_t { None, One, All };

// A waiting ticket's entry in its notifier's list. Every field is guarded by
// the notifier's mutex while the ticket is in the Waiting phase.
struct WaitNode {
    WaitNode* prev = nullptr;
    WaitNode* next = nullptr;
    AsyncWaiter waiter;                        // task waiter, or
    std::condition_variable* cv = nullptr;     // plain-thread waiter
    WakeKind woken = WakeKind::None;
    bool linked = false;
};

}  // namespace detail

class Ticket {
public:
    Ticket(Ticket&& other) noexcept;
    Ticket& operator=(Ticket&& other) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket();

    struct Awaiter {
        Ticket& ticket;
        bool await_ready() const noexcept { return ticket.try_complete(); }
        bool await_suspend(std::coroutine_handle<> handle) const noexcept { return ticket.suspend(handle); }
        void await_resume() const noexcept { ticket.phase_ = Phase::Done; }
    };
    // `co_await ticket` / `co_await ticket.wait()`: from a task on a runtime.
    Awaiter operator co_await() & noexcept { return Awaiter{*this}; }
    Awaiter wait() & noexcept { return Awaiter{*this}; }

    // From a plain thread: blocks until woken.
    void wait_blocking();
    // Blocks until woken (true) or until `timeout` passes (false; nothing is
    // consumed and the ticket may be waited on again).
    bool wait_blocking_for(std::chrono::nanoseconds timeout);

private:
    friend class Notifier;
    enum class Phase : std::uint8_t { Idle, Waiting, Done };

    Ticket(Notifier* notifier, std::uint64_t epoch) noexcept : notifier_(notifier), epoch_(epoch) {}

    bool try_complete() noexcept;                        // lock-free fast path
    bool suspend(std::coroutine_handle<> handle) noexcept;
    // Under the notifier's lock: completes at once (true) after a notify_all
    // since the ticket was taken or by consuming the pending wake-up;
    // otherwise links the node, announces kWaiting and returns false.
    bool complete_or_link_locked() noexcept;
    void release() noexcept;                             // destructor body

    Notifier* notifier_;
    std::uint64_t epoch_;  // notify_all calls seen when the ticket was taken
    // Written only by the ticket's owner (the notifier never touches it).
    Phase phase_ = Phase::Idle;
    detail::WaitNode node_;
};

class Notifier {
public:
    Notifier() = default;
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;
    // Precondition: no ticket of this notifier is waiting (checked: a
    // violation ends the process with a message rather than leaving
    // waiters linked into freed memory).
    ~Notifier();

    Ticket ticket() noexcept;
    void notify_one() noexcept;
    void notify_all() noexcept;

    // Tickets currently waiting (diagnostics and tests).
    std::size_t waiting() const;

private:
    friend class Ticket;

    // `state_` packs the number of notify_all calls so far (the epoch, upper
    // bits) with a status (low two bits):
    //   kEmpty:    nobody waits, nothing pending;
    //   kWaiting:  the wait list is not empty (so nothing is pending);
    //   kNotified: one wake-up is pending (so the wait list is empty).
    // The epoch and every transition to or from kWaiting change only under
    // `mu_`; kEmpty <-> kNotified may change without it (compare-and-swap).
    static constexpr std::uint64_t kEmpty = 0;
    static constexpr std::uint64_t kWaiting = 1;
    static constexpr std::uint64_t kNotified = 2;
    static constexpr std::uint64_t kStatusMask = 3;
    static constexpr std::uint64_t kEpochStep = 4;

    static std::uint64_t status(std::uint64_t s) noexcept { return s & kStatusMask; }
    static std::uint64_t epoch(std::uint64_t s) noexcept { return s & ~kStatusMask; }

    void notify_one_locked() noexcept;
    void link_locked(detail::WaitNode* node) noexcept;
    void unlink_locked(detail::WaitNode* node) noexcept;
    static void wake(detail::WaitNode* node, detail::WakeKind kind) noexcept;

    // Read by every producer on the hot path: alone on its block.
    Padded<std::atomic<std::uint64_t>> state_;
    static_assert(sizeof(Padded<std::atomic<std::uint64_t>>) == kHotBlock,
                  "the notifier state word sits alone on one 128-byte block");

    // Guards the wait list, its count and every linked WaitNode.
    mutable std::mutex mu_;
    detail::WaitNode* head_ = nullptr;
    detail::WaitNode* tail_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace ravo::runtime
