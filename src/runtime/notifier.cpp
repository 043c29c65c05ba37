// Notifier and tickets. See notifier.h for the semantics.
//
// Why the fences. A producer publishes (say, pushes into a queue) and then
// calls notify_one, which may see a wake-up already pending and return after
// a plain load. The waiter that later consumes that pending wake-up
// synchronises only with the producer that stored it, not with this one. The
// seq_cst fence at the start of notify_one and the one in ticket() (which
// every waiter calls before re-testing its condition) close the gap: the
// producer's load reads a state that the consumer's compare-and-swap later
// replaces, so the producer's fence precedes the waiter's fence in the single
// total order, and the waiter's condition test then sees the producer's
// publication. Every other path synchronises through a compare-and-swap with
// acq_rel ordering on `state_` or through `mu_`.
#include "runtime/notifier.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace ravo::runtime {

// ---------------------------------------------------------------------------
// Notifier

Notifier::~Notifier() {
    if (head_ != nullptr) {
        std::fprintf(stderr, "ravo runtime: a notifier was destroyed while %zu ticket(s) still waited on it\n", count_);
        std::abort();
    }
}

Ticket Notifier::ticket() noexcept {
    // seq_cst fence: pairs with the fence in notify_one (see top of file).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // acquire: pairs with the acq_rel compare-and-swap in notify_all, so a
    // ticket that already sees the new epoch also sees what the notifying
    // thread wrote before notify_all (for example a shutdown flag).
    return Ticket(this, epoch(state_.value.load(std::memory_order_acquire)));
}

void Notifier::notify_one() noexcept {
    // seq_cst fence: pairs with the fence in ticket() (see top of file).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::uint64_t s = state_.value.load(std::memory_order_relaxed);
    for (;;) {
        switch (status(s)) {
            case kNotified:
                return;  // at most one pending wake-up
            case kEmpty:
                // acq_rel: release publishes the caller's writes to the
                // waiter whose compare-and-swap consumes this wake-up.
                if (state_.value.compare_exchange_weak(s, epoch(s) | kNotified, std::memory_order_acq_rel,
                                                       std::memory_order_relaxed)) {
                    return;
                }
                break;  // `s` reloaded; decide again
            default: {  // kWaiting
                std::lock_guard<std::mutex> lock(mu_);
                notify_one_locked();
                return;
            }
        }
    }
}

void Notifier::notify_one_locked() noexcept {
    std::uint64_t s = state_.value.load(std::memory_order_relaxed);
    for (;;) {
        switch (status(s)) {
            case kNotified:
                return;
            case kEmpty:
                // acq_rel: as in notify_one.
                if (state_.value.compare_exchange_weak(s, epoch(s) | kNotified, std::memory_order_acq_rel,
                                                       std::memory_order_relaxed)) {
                    return;
                }
                break;
            default: {  // kWaiting: only lock holders change it, and we hold the lock
                detail::WaitNode* node = head_;
                unlink_locked(node);
                wake(node, detail::WakeKind::One);
                return;
            }
        }
    }
}

void Notifier::notify_all() noexcept {
    std::lock_guard<std::mutex> lock(mu_);
    std::uint64_t s = state_.value.load(std::memory_order_relaxed);
    std::uint64_t next = 0;
    do {
        // A new epoch; kWaiting becomes kEmpty since every waiter leaves the
        // list below, and a pending wake-one (kNotified) is kept.
        const std::uint64_t keep = status(s) == kWaiting ? kEmpty : status(s);
        next = (epoch(s) + kEpochStep) | keep;
        // acq_rel: release pairs with the acquire load in ticket() and in
        // the waits, so whoever sees the new epoch sees the caller's writes.
    } while (!state_.value.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_relaxed));

    detail::WaitNode* node = std::exchange(head_, nullptr);
    tail_ = nullptr;
    count_ = 0;
    while (node != nullptr) {
        // Read the successor first: a woken task may resume on another
        // worker at once and destroy its node.
        detail::WaitNode* following = node->next;
        node->prev = node->next = nullptr;
        node->linked = false;
        wake(node, detail::WakeKind::All);
        node = following;
    }
}

std::size_t Notifier::waiting() const {
    std::lock_guard<std::mutex> lock(mu_);
    return count_;
}

void Notifier::link_locked(detail::WaitNode* node) noexcept {
    node->prev = tail_;
    node->next = nullptr;
    if (tail_ != nullptr) {
        tail_->next = node;
    } else {
        head_ = node;
    }
    tail_ = node;
    node->linked = true;
    node->woken = detail::WakeKind::None;
    ++count_;
}

void Notifier::unlink_locked(detail::WaitNode* node) noexcept {
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        head_ = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        tail_ = node->prev;
    }
    node->prev = node->next = nullptr;
    node->linked = false;
    --count_;
    if (count_ == 0) {
        // kWaiting -> kEmpty. Lock-free operations never change a kWaiting
        // state and the epoch changes only under the lock, so a plain store
        // cannot overwrite anything. release: a producer that reads kEmpty
        // here and then swaps in kNotified is ordered after this unlink.
        const std::uint64_t s = state_.value.load(std::memory_order_relaxed);
        state_.value.store(epoch(s) | kEmpty, std::memory_order_release);
    }
}

void Notifier::wake(detail::WaitNode* node, detail::WakeKind kind) noexcept {
    // Called with `mu_` held, the node already unlinked. Handing a task to
    // its runtime under the lock is what makes a concurrent destruction of
    // that task safe: its ticket's destructor takes the same lock first.
    node->woken = kind;
    if (node->waiter) {
        node->waiter.wake();
    } else {
        node->cv->notify_one();
    }
}

// ---------------------------------------------------------------------------
// Ticket

Ticket::Ticket(Ticket&& other) noexcept
    : notifier_(other.notifier_), epoch_(other.epoch_), phase_(std::exchange(other.phase_, Phase::Done)) {
    // Precondition: `other` is not waiting (a waiting ticket is pinned by
    // its wait), so there is no node to carry over.
}

Ticket& Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        release();
        notifier_ = other.notifier_;
        epoch_ = other.epoch_;
        phase_ = std::exchange(other.phase_, Phase::Done);
        node_ = detail::WaitNode{};
    }
    return *this;
}

Ticket::~Ticket() { release(); }

void Ticket::release() noexcept {
    // Idle or Done: the notifier holds nothing of ours.
    if (phase_ != Phase::Waiting) return;
    std::lock_guard<std::mutex> lock(notifier_->mu_);
    if (node_.linked) {
        notifier_->unlink_locked(&node_);
    } else if (node_.woken == detail::WakeKind::One) {
        // Woken by notify_one, but our task was destroyed before it saw the
        // wake-up: pass it on so it is not lost.
        notifier_->notify_one_locked();
    }
    phase_ = Phase::Done;
}

bool Ticket::try_complete() noexcept {
    if (phase_ == Phase::Done) return true;
    // acquire: pairs with the acq_rel compare-and-swap of notify_all.
    std::uint64_t s = notifier_->state_.value.load(std::memory_order_acquire);
    for (;;) {
        if (Notifier::epoch(s) != epoch_) break;  // a notify_all since the ticket was taken
        if (Notifier::status(s) != Notifier::kNotified) return false;
        // acq_rel: acquire pairs with the release of the notify_one that
        // stored the pending wake-up.
        if (notifier_->state_.value.compare_exchange_weak(s, Notifier::epoch(s) | Notifier::kEmpty,
                                                          std::memory_order_acq_rel, std::memory_order_acquire)) {
            break;
        }
    }
    phase_ = Phase::Done;
    return true;
}

bool Ticket::complete_or_link_locked() noexcept {
    Notifier& n = *notifier_;
    std::uint64_t s = n.state_.value.load(std::memory_order_acquire);
    for (;;) {
        if (Notifier::epoch(s) != epoch_) {
            phase_ = Phase::Done;  // a notify_all since the ticket was taken
            return true;
        }
        const std::uint64_t st = Notifier::status(s);
        if (st == Notifier::kWaiting) break;
        const std::uint64_t next =
            Notifier::epoch(s) | (st == Notifier::kNotified ? Notifier::kEmpty : Notifier::kWaiting);
        // acq_rel: consuming a pending wake-up acquires the release of the
        // notify_one that stored it; announcing kWaiting is ordered after
        // the caller's condition test.
        if (n.state_.value.compare_exchange_weak(s, next, std::memory_order_acq_rel, std::memory_order_acquire)) {
            if (st == Notifier::kNotified) {
                phase_ = Phase::Done;  // consumed the pending wake-up
                return true;
            }
            break;
        }
    }
    n.link_locked(&node_);
    phase_ = Phase::Waiting;
    return false;
}

bool Ticket::suspend(std::coroutine_handle<> handle) noexcept {
    node_.waiter = current_waiter(handle, "Notifier ticket");
    node_.cv = nullptr;
    std::lock_guard<std::mutex> lock(notifier_->mu_);
    // Linked and marked Waiting under the lock: once it is released the task
    // may be resumed on another worker, and nothing here touches the ticket
    // afterwards.
    return !complete_or_link_locked();
}

void Ticket::wait_blocking() {
    if (try_complete()) return;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(notifier_->mu_);
    node_.waiter = AsyncWaiter{};
    node_.cv = &cv;
    if (complete_or_link_locked()) return;
    cv.wait(lock, [this] { return !node_.linked; });
    node_.cv = nullptr;
    phase_ = Phase::Done;
}

bool Ticket::wait_blocking_for(std::chrono::nanoseconds timeout) {
    if (try_complete()) return true;
    // A timeout beyond any real wait would overflow the deadline arithmetic.
    if (timeout >= std::chrono::hours(24 * 365 * 100)) {
        wait_blocking();
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(notifier_->mu_);
    node_.waiter = AsyncWaiter{};
    node_.cv = &cv;
    if (complete_or_link_locked()) return true;
    const bool woken = cv.wait_until(lock, deadline, [this] { return !node_.linked; });
    node_.cv = nullptr;
    if (woken) {
        phase_ = Phase::Done;
        return true;
    }
    // Timed out while still linked: leave the list, consuming nothing.
    notifier_->unlink_locked(&node_);
    phase_ = Phase::Idle;
    return false;
}

}  // namespace ravo::runtime
