// Descriptor registration and readiness waits. See io_handle.h.
#include "runtime/io_handle.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

namespace ravo::runtime {

namespace {

// Closes `fd`, retrying nothing: after EINTR the descriptor is released on
// Linux, so a retry could close a descriptor another thread just opened.
int close_fd(int fd) noexcept { return ::close(fd) == 0 || errno == EINTR ? 0 : errno; }

}  // namespace

Result<IoHandle> IoHandle::adopt(Runtime& runtime, int fd) {
    if (fd < 0) return Error::system(os_error_text(EBADF));
    Result<std::uint32_t> index = runtime.acquire_slot();
    if (!index) {
        // A failed close rides on the returned error, so that the caller's
        // one line for this event says everything.
        if (const int err = close_fd(fd); err != 0) {
            return Error{index.error().kind, index.error().message + "; close: " + os_error_text(err)};
        }
        return std::move(index).error();
    }
    detail::IoSlot* slot = runtime.slot_at(*index);
    std::uint32_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(slot->mu);
        // Both directions start "ready": the first wait completes at once and
        // the caller's attempt finds out the real state. This costs one
        // attempt and does not depend on the initial edge that
        // EPOLL_CTL_ADD reports for an already-ready descriptor.
        slot->ready[detail::kReadDir] = slot->ready[detail::kWriteDir] = true;
        generation = slot->generation;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = (std::uint64_t{generation} << 32) | *index;
    if (::epoll_ctl(runtime.epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int err = errno;
        runtime.release_slot(*index);
        if (const int close_err = close_fd(fd); close_err != 0) {
            return Error::system(os_error_text(err) + "; close: " + os_error_text(close_err));
        }
        return Error::system(os_error_text(err));
    }
    // relaxed: a counter read only as a polling hint (see worker_main).
    runtime.registered_fds_.fetch_add(1, std::memory_order_relaxed);
    return IoHandle(&runtime, fd, *index, slot);
}

IoHandle::IoHandle(IoHandle&& other) noexcept
    : runtime_(std::exchange(other.runtime_, nullptr)),
      fd_(std::exchange(other.fd_, -1)),
      index_(std::exchange(other.index_, 0)),
      slot_(std::exchange(other.slot_, nullptr)) {}

IoHandle& IoHandle::operator=(IoHandle&& other) noexcept {
    if (this != &other) {
        if (Status closed = close(); !closed) {
            std::fprintf(stderr, "ravo runtime: closing descriptor: %s\n", closed.error().message.c_str());
        }
        runtime_ = std::exchange(other.runtime_, nullptr);
        fd_ = std::exchange(other.fd_, -1);
        index_ = std::exchange(other.index_, 0);
        slot_ = std::exchange(other.slot_, nullptr);
    }
    return *this;
}

IoHandle::~IoHandle() {
    if (Status closed = close(); !closed) {
        std::fprintf(stderr, "ravo runtime: closing descriptor: %s\n", closed.error().message.c_str());
    }
}

Status IoHandle::close() noexcept {
    if (fd_ < 0) return {};
    int first_error = 0;
    // Deregister before closing: once closed, the number may be reused by a
    // descriptor that someone else registers, and EPOLL_CTL_DEL by number
    // would then remove theirs.
    if (::epoll_ctl(runtime_->epoll_fd_, EPOLL_CTL_DEL, fd_, nullptr) != 0) first_error = errno;
    if (const int err = close_fd(fd_); err != 0 && first_error == 0) first_error = err;
    // Bumps the generation: an event for this registration that another
    // worker has already taken from epoll_wait is ignored.
    runtime_->release_slot(index_);
    // relaxed: polling hint only (see worker_main).
    runtime_->registered_fds_.fetch_sub(1, std::memory_order_relaxed);
    fd_ = -1;
    runtime_ = nullptr;
    slot_ = nullptr;
    if (first_error != 0) return Error::system(os_error_text(first_error));
    return {};
}

ReadinessAwaiter IoHandle::readable() const noexcept { return ReadinessAwaiter(slot_, detail::kReadDir); }
ReadinessAwaiter IoHandle::writable() const noexcept { return ReadinessAwaiter(slot_, detail::kWriteDir); }

IoResult IoHandle::try_read(void* buffer, std::size_t length) const noexcept {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, length);
        if (got >= 0) return IoResult{static_cast<std::size_t>(got), 0};
        if (errno != EINTR) return IoResult{0, errno};
    }
}

IoResult IoHandle::try_readv(const struct iovec* segments, int count) const noexcept {
    for (;;) {
        const ssize_t got = ::readv(fd_, segments, count);
        if (got >= 0) return IoResult{static_cast<std::size_t>(got), 0};
        if (errno != EINTR) return IoResult{0, errno};
    }
}

IoResult IoHandle::try_write(const void* buffer, std::size_t length) const noexcept {
    for (;;) {
        ssize_t put = ::send(fd_, buffer, length, MSG_NOSIGNAL);
        if (put < 0 && errno == ENOTSOCK) put = ::write(fd_, buffer, length);
        if (put >= 0) return IoResult{static_cast<std::size_t>(put), 0};
        if (errno != EINTR) return IoResult{0, errno};
    }
}

bool ReadinessAwaiter::await_suspend(std::coroutine_handle<> handle) noexcept {
    const AsyncWaiter waiter = current_waiter(handle, "IoHandle readiness");
    std::lock_guard<std::mutex> lock(slot_->mu);
    if (slot_->ready[direction_]) {
        // An edge arrived since the last wait (possibly between the caller's
        // failed attempt and now): consume it and let the caller retry.
        slot_->ready[direction_] = false;
        return false;
    }
    slot_->waiter[direction_] = waiter;
    handle_ = handle;  // under the lock: the task may resume as soon as it is released
    return true;
}

ReadinessAwaiter::~ReadinessAwaiter() {
    if (!handle_) return;
    // The frame is being destroyed while waiting, or the wait completed; in
    // the first case the slot still names this coroutine and must forget it.
    std::lock_guard<std::mutex> lock(slot_->mu);
    if (slot_->waiter[direction_].handle == handle_) slot_->waiter[direction_] = AsyncWaiter{};
}

ReadyOrSignalAwaiter IoHandle::readable_or(const OneshotReceiver& signal) const noexcept {
    return ReadyOrSignalAwaiter(slot_, detail::kReadDir, signal);
}

ReadyOrSignalAwaiter IoHandle::writable_or(const OneshotReceiver& signal) const noexcept {
    return ReadyOrSignalAwaiter(slot_, detail::kWriteDir, signal);
}

bool ReadyOrSignalAwaiter::await_ready() noexcept {
    // acquire: pairs with the release store in OneshotState::fire.
    if (!signal_->fired.load(std::memory_order_acquire)) return false;
    // relaxed: only this coroutine reads it, in await_resume.
    claim_.store(kBySignal, std::memory_order_relaxed);
    return true;
}

bool ReadyOrSignalAwaiter::await_suspend(std::coroutine_handle<> handle) noexcept {
    AsyncWaiter waiter = current_waiter(handle, "IoHandle readiness or signal");
    waiter.claim = &claim_;
    // Both locks at once: neither source can fire before both registrations
    // exist. Nothing else ever holds both, so the order cannot deadlock.
    std::scoped_lock lock(signal_->mu, slot_->mu);
    if (signal_->done) {
        claim_.store(kBySignal, std::memory_order_relaxed);  // relaxed: read by this coroutine only
        return false;
    }
    if (slot_->ready[direction_]) {
        slot_->ready[direction_] = false;
        claim_.store(kByReadiness, std::memory_order_relaxed);  // relaxed: as above
        return false;
    }
    waiter.claim_id = kBySignal;
    signal_->waiter = waiter;
    waiter.claim_id = kByReadiness;
    slot_->waiter[direction_] = waiter;
    handle_ = handle;
    return true;
}

WaitResult ReadyOrSignalAwaiter::await_resume() const noexcept {
    // acquire: pairs with the winning source's compare-and-swap.
    return claim_.load(std::memory_order_acquire) == kByReadiness ? WaitResult::Ready : WaitResult::Signalled;
}

ReadyOrSignalAwaiter::~ReadyOrSignalAwaiter() {
    if (!handle_) return;
    // Remove whichever registration is still there (the loser's, or both if
    // the task is destroyed while waiting). Under each source's lock, so a
    // source that is firing right now either finished with the waiter or
    // never sees it.
    {
        std::lock_guard<std::mutex> lock(signal_->mu);
        if (signal_->waiter.handle == handle_) signal_->waiter = AsyncWaiter{};
    }
    std::lock_guard<std::mutex> lock(slot_->mu);
    if (slot_->waiter[direction_].handle == handle_) slot_->waiter[direction_] = AsyncWaiter{};
}

}  // namespace ravo::runtime
