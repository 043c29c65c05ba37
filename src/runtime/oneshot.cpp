// One-shot signal. See oneshot.h.
#include "runtime/oneshot.h"

namespace ravo::runtime {

void detail::OneshotState::fire(bool by_send) noexcept {
    std::lock_guard<std::mutex> lock(mu);
    if (done) return;
    done = true;
    sent = by_send;
    // release: pairs with the acquire load in fired().
    fired.store(true, std::memory_order_release);
    // Queued under the lock, so a waiter being destroyed concurrently (it
    // unregisters under the same lock) is either still here or gone.
    // A waiter claimed first by another source (IoHandle::readable_or) needs
    // nothing: `done` stays set for anyone who looks.
    if (waiter) (void)std::exchange(waiter, AsyncWaiter{}).try_wake();
}

OneshotSender& OneshotSender::operator=(OneshotSender&& other) noexcept {
    if (this != &other) {
        if (state_) state_->fire(false);
        state_ = std::move(other.state_);
    }
    return *this;
}

OneshotSender::~OneshotSender() {
    if (state_) state_->fire(false);
}

void OneshotSender::send() noexcept {
    if (state_) state_->fire(true);
}

bool OneshotReceiver::fired() const noexcept {
    // acquire: pairs with the release store in fire().
    return state_ && state_->fired.load(std::memory_order_acquire);
}

bool OneshotReceiver::Awaiter::await_ready() const noexcept {
    // acquire: pairs with the release store in fire(); `sent` was written
    // before it and is read in await_resume.
    return state_->fired.load(std::memory_order_acquire);
}

bool OneshotReceiver::Awaiter::await_suspend(std::coroutine_handle<> handle) noexcept {
    const AsyncWaiter waiter = current_waiter(handle, "OneshotReceiver");
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->done) return false;
    state_->waiter = waiter;
    handle_ = handle;  // under the lock: the task may resume as soon as it is released
    return true;
}

bool OneshotReceiver::Awaiter::await_resume() const noexcept {
    // Ordered after fire(): through the acquire in await_ready, the lock in
    // await_suspend, or the run queue that resumed us.
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->sent;
}

OneshotReceiver::Awaiter::~Awaiter() {
    if (!handle_) return;
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->waiter.handle == handle_) state_->waiter = AsyncWaiter{};
}

std::pair<OneshotSender, OneshotReceiver> make_oneshot() {
    auto state = std::make_shared<detail::OneshotState>();
    return {OneshotSender(state), OneshotReceiver(state)};
}

}  // namespace ravo::runtime
