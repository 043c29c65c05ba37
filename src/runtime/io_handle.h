// Descriptor readiness for tasks: `IoHandle` registers one non-blocking file
// descriptor with a runtime's epoll instance (edge-triggered, read and write
// readiness) and owns it: destroying the handle deregisters and closes it.
//
// Usage is "try, then wait":
//
//     for (;;) {
//         IoResult r = io.try_read(buf, len);
//         if (!r.would_block()) break;          // data, end of stream or error
//         co_await io.readable();               // no edge can be lost here
//     }
//
// Each direction keeps a sticky ready flag beside its waiter. An edge that
// arrives while no task waits sets the flag; `readable()`/`writable()` clear
// it and complete at once instead of suspending, so an edge that lands
// between a failed attempt and the wait makes the caller retry. A spurious
// completion only costs one extra attempt. Errors and hang-ups wake both
// directions (the retry then reports them).
//
// Contract:
// - Any thread may create and destroy handles. At most one task waits for
//   each direction of one handle at a time, and the handle is neither moved
//   nor destroyed while one of its own waits is in progress (destroying the
//   waiting task's frame is fine: the wait unregisters itself).
// - The waiting task may run on any runtime; it is resumed on its own.
// - The handle must be destroyed before the runtime it is registered with.
// - Deregistration is safe while another worker is handling an event for the
//   same descriptor: events carry a slot index and a generation, the slot's
//   storage lives as long as the runtime, and an event whose generation no
//   longer matches is ignored.
#pragma once

#include <atomic>
#include <cerrno>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include <sys/uio.h>

#include "result.h"
#include "runtime/oneshot.h"
#include "runtime/runtime.h"

namespace ravo::runtime {

namespace detail {

inline constexpr int kReadDir = 0;
inline constexpr int kWriteDir = 1;

// Per-descriptor readiness state. `mu` guards every field; it is taken by
// the worker that dispatches an event, by a task that starts a wait, and by
// registration and deregistration. A waiter is queued on its runtime while
// `mu` is held, so a wait that unregisters under `mu` (its frame being
// destroyed) can never race with a wake-up that still uses the waiter.
struct IoSlot {
    std::mutex mu;
    std::uint32_t generation = 0;  // bumped on every deregistration
    bool ready[2] = {false, false};
    AsyncWaiter waiter[2];
};

}  // namespace detail

// Outcome of one non-blocking attempt.
struct IoResult {
    std::size_t bytes = 0;  // transferred; 0 from a read with no error is end of stream
    int error = 0;          // errno of the failed call, 0 on success

    bool ok() const noexcept { return error == 0; }
    bool would_block() const noexcept { return error == EAGAIN || error == EWOULDBLOCK; }
};

// Awaitable returned by `IoHandle::readable()` / `writable()`.
class ReadinessAwaiter {
public:
    ReadinessAwaiter(detail::IoSlot* slot, int direction) noexcept : slot_(slot), direction_(direction) {}
    ReadinessAwaiter(const ReadinessAwaiter&) = delete;
    ReadinessAwaiter& operator=(const ReadinessAwaiter&) = delete;
    ~ReadinessAwaiter();

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> handle) noexcept;
    void await_resume() const noexcept {}

private:
    detail::IoSlot* slot_;
    int direction_;
    std::coroutine_handle<> handle_{};  // set (under the slot lock) when registered
};

// What ended a `readable_or` / `writable_or` wait.
enum class WaitResult { Ready, Signalled };

// Awaitable returned by `IoHandle::readable_or()` / `writable_or()`: waits
// for readiness or a one-shot signal, whichever comes first. It registers
// with both sources while holding both their locks, so neither can fire
// half-way through; each source then wakes through a shared claim byte, and
// the loser leaves its event in place (a readiness edge stays in the ready
// flag, a fired signal stays fired). The registration left in the losing
// source is removed when the awaiter ends.
class ReadyOrSignalAwaiter {
public:
    ReadyOrSignalAwaiter(detail::IoSlot* slot, int direction, const OneshotReceiver& signal) noexcept
        : slot_(slot), signal_(signal.state_.get()), direction_(direction) {}
    ReadyOrSignalAwaiter(const ReadyOrSignalAwaiter&) = delete;
    ReadyOrSignalAwaiter& operator=(const ReadyOrSignalAwaiter&) = delete;
    ~ReadyOrSignalAwaiter();

    bool await_ready() noexcept;
    bool await_suspend(std::coroutine_handle<> handle) noexcept;
    WaitResult await_resume() const noexcept;

private:
    static constexpr std::uint8_t kByReadiness = 1;
    static constexpr std::uint8_t kBySignal = 2;

    detail::IoSlot* slot_;
    detail::OneshotState* signal_;
    int direction_;
    std::atomic<std::uint8_t> claim_{0};
    std::coroutine_handle<> handle_{};  // set under both locks when registered
};

class IoHandle {
public:
    // Registers `fd` with `runtime` and takes ownership of it: on failure it
    // is closed before the error (the system's text) is returned.
    // Precondition: `fd` is in non-blocking mode.
    static Result<IoHandle> adopt(Runtime& runtime, int fd);

    IoHandle() noexcept = default;
    IoHandle(IoHandle&& other) noexcept;
    IoHandle& operator=(IoHandle&& other) noexcept;
    IoHandle(const IoHandle&) = delete;
    IoHandle& operator=(const IoHandle&) = delete;
    // Deregisters and closes; a failure of either is one line on stderr.
    ~IoHandle();

    bool valid() const noexcept { return fd_ >= 0; }
    int fd() const noexcept { return fd_; }

    // Complete once the descriptor may have become readable / writable since
    // the last completed wait for that direction. Preconditions: valid(), and
    // awaited from a task on a runtime.
    ReadinessAwaiter readable() const noexcept;
    ReadinessAwaiter writable() const noexcept;

    // As readable() / writable(), but also complete when `signal` fires
    // (at once if it already has): `co_await io.readable_or(stop)` gives
    // WaitResult::Signalled or WaitResult::Ready (then retry the attempt).
    // Preconditions as for readable(), and no other task awaits `signal`.
    ReadyOrSignalAwaiter readable_or(const OneshotReceiver& signal) const noexcept;
    ReadyOrSignalAwaiter writable_or(const OneshotReceiver& signal) const noexcept;

    // One non-blocking read / write (EINTR is retried). Writes go through
    // send(MSG_NOSIGNAL) on sockets, so a closed peer is EPIPE, not SIGPIPE.
    IoResult try_read(void* buffer, std::size_t length) const noexcept;
    IoResult try_write(const void* buffer, std::size_t length) const noexcept;
    // One non-blocking scatter read into `count` segments, filled in order.
    IoResult try_readv(const struct iovec* segments, int count) const noexcept;

    // Deregisters and closes now, reporting the first failure. The handle is
    // invalid afterwards either way.
    Status close() noexcept;

private:
    IoHandle(Runtime* runtime, int fd, std::uint32_t index, detail::IoSlot* slot) noexcept
        : runtime_(runtime), fd_(fd), index_(index), slot_(slot) {}

    Runtime* runtime_ = nullptr;
    int fd_ = -1;
    std::uint32_t index_ = 0;
    detail::IoSlot* slot_ = nullptr;
};

}  // namespace ravo::runtime
