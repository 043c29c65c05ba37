// Multi-threaded, event-driven task runtime (epoll based).
//
// A `Runtime` owns a fixed number of named worker threads, one epoll instance
// and one wake-up pipe. Workers take suspended coroutines from one run queue
// and resume them; a worker with nothing to run blocks in epoll_wait
// (readiness of registered descriptors, the wake-up pipe, the next timer
// deadline).
//
// Contract:
// - `create` may be called from any thread. `spawn` and `schedule` may be
//   called from any thread, including threads of other runtimes, plain
//   threads and tasks: `spawn` until the destructor begins (one that the
//   teardown overtakes is refused, its task destroyed unstarted);
//   `schedule`, through a wait point's source, for as long as that source
//   holds a registered waiter of this runtime. The destructor waits for a
//   `schedule` still writing its wake-up, so a task it queued cannot run,
//   end and let the runtime go while the waker is inside it.
// - Wait points: notifier tickets (notifier.h), descriptor readiness
//   (io_handle.h), one-shot signals (oneshot.h), `sleep_for`, `yield_now`.
//   A waiter records the runtime it runs on; a wake-up only queues the
//   coroutine on that runtime (it is never resumed inline on the waking
//   thread), so a task resumes on some worker of its own runtime and may move
//   between that runtime's workers at every wait point.
// - A coroutine is resumed only by the one worker that popped it from the
//   run queue; every wait point queues its waiter exactly once. So a task is
//   never resumed twice for one wait, nor on two threads at once.
// - Destruction (from any thread that is not one of this runtime's workers):
//   stops the workers (each finishes the task step it is running), joins
//   them, then destroys every spawned task that has not finished, each
//   top-level frame exactly once. Destructors of everything those frames own
//   run on the destroying thread; coroutines still queued are never resumed.
//   Wake-ups that reach the runtime while it is being torn down (for example
//   from another runtime's thread through a shared notifier) only append to a
//   run queue that is never drained again, which is harmless: every wait
//   point unregisters under its source's lock when its frame is destroyed.
// - Every `IoHandle` registered with the runtime must be destroyed before
//   the runtime (tasks that own them are destroyed by the teardown itself).
//   Destroying a runtime from one of its own workers cannot join that worker:
//   it ends the process with a message.
// - Costs: `spawn` allocates one small root frame; every coroutine call
//   allocates its frame, so a per-item hot path should loop inside one
//   coroutine and await tickets or readiness directly. Queuing a wake-up is
//   a short critical section, plus one pipe write only when a worker is
//   asleep; idle workers block in epoll_wait and use no CPU.
// - Running workers: at most `running_limit()` workers take tasks and wait
//   for events; the others stay parked from their start until destruction.
//   Tasks never block their worker (every wait point suspends), so workers
//   beyond the CPUs the process may use add no throughput, only wake-ups:
//   each idle one waits in epoll_wait, so nearly every readiness event wakes
//   a thread that then fights the busy ones for a CPU. By default the limit
//   is the number of CPUs the creating thread may run on (its affinity
//   mask); every worker thread still exists, named and under its policy.
//   A caller whose tasks do block a worker (a test that holds one on
//   purpose) passes a limit of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "result.h"
#include "runtime/task.h"

namespace ravo::runtime {

class Runtime;
class IoHandle;
class SleepAwaiter;

namespace detail {
struct IoSlot;
struct RootPromise;
}  // namespace detail

// The operating system's text for an errno value ("Address already in use").
std::string os_error_text(int errnum);

// A suspended coroutine and the runtime that must resume it. Every wait
// point records one of these when it suspends; a wake-up calls `wake()`,
// which only queues the coroutine (safe from any thread).
//
// A coroutine that waits on several sources at once (readiness or a
// one-shot signal, io_handle.h) registers one waiter per source, all
// pointing at one `claim` byte: the first source to swap its `claim_id` into
// it queues the coroutine, the others find it taken and leave it alone.
struct AsyncWaiter {
    std::coroutine_handle<> handle;
    Runtime* runtime = nullptr;
    std::atomic<std::uint8_t>* claim = nullptr;  // null: a single-source wait
    std::uint8_t claim_id = 0;

    explicit operator bool() const noexcept { return static_cast<bool>(handle); }
    // Queues the coroutine. For a single-source waiter only.
    void wake() const noexcept;
    // Queues the coroutine unless another source has claimed it first
    // (false then; the caller keeps its event, e.g. a readiness flag).
    bool try_wake() const noexcept;
};

// The waiter for the calling coroutine. Wait points must be awaited from a
// task running on a runtime worker; awaiting one elsewhere is a programming
// error that ends the process with a message (there is no runtime that could
// resume it).
AsyncWaiter current_waiter(std::coroutine_handle<> handle, const char* what) noexcept;

// Scheduling policy of a runtime's worker threads.
// - Default: the system's normal time-sharing policy.
// - Batch: SCHED_BATCH. A woken worker does not preempt the thread that is
//   running on its CPU; it runs on an idle CPU at once, or when the running
//   thread blocks or its time slice ends. For workers that move data in
//   bulk and are woken per item (the drainers, woken once per push): on a
//   busy machine the waker is no longer switched out, often while holding a
//   lock, for a worker that finds one item, and the worker finds more work
//   per wake-up. Nothing else changes (no priority, no real-time policy).
//   Applied only over the normal policy: workers of a process running under
//   a real-time or idle policy keep what they inherited, as they do when the
//   system refuses the switch.
enum class WorkerPolicy { Default, Batch };

// `max_running` for Runtime::create: as many running workers as CPUs the
// creating thread may run on.
inline constexpr std::size_t kRunningLimitCpus = 0;

class Runtime {
public:
    using Clock = std::chrono::steady_clock;

    // Starts `num_workers` threads named `thread_name` (truncated to the
    // 15 characters Linux keeps) under `policy`, of which at most
    // `max_running` (kRunningLimitCpus: the CPUs the calling thread may run
    // on; never more than `num_workers`) run tasks. Errors: a zero worker count
    // (config error "runtime needs at least one worker thread"), or the
    // system's text when the epoll instance, the wake-up pipe or a thread cannot
    // be created; nothing is left running after a failure. A policy the
    // system refuses is no error and no line on stderr: the workers then run
    // under the policy they inherited. Returns once every worker has started
    // and set up its thread-local state (see worker_main), so a process that
    // runs short of memory later cannot lose a worker to a lazy allocation.
    static Result<std::unique_ptr<Runtime>> create(std::string thread_name, std::size_t num_workers,
                                                   WorkerPolicy policy = WorkerPolicy::Default,
                                                   std::size_t max_running = kRunningLimitCpus);

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    ~Runtime();

    // Runs `task` detached. The runtime owns it from here: it is destroyed
    // when it finishes, or by the runtime's destructor if it has not. A task
    // spawned while the runtime is being destroyed is destroyed at once,
    // without running. An invalid (empty) task is ignored. Throws
    // std::bad_alloc when the root frame or the run queue's room for it
    // cannot be allocated; the task is then destroyed without running.
    void spawn(Task<void> task);

    // Queues a suspended coroutine to be resumed by a worker. Low-level: used
    // by wait points; the caller guarantees that `handle` is suspended and
    // queued at most once per suspension.
    void schedule(std::coroutine_handle<> handle) noexcept;

    // The runtime whose worker is the calling thread, or null.
    static Runtime* current() noexcept;

    const std::string& thread_name() const noexcept { return thread_name_; }
    std::size_t num_workers() const noexcept { return num_workers_; }
    // Workers that may run tasks at once (1 to num_workers()).
    std::size_t running_limit() const noexcept { return running_limit_; }

    // Spawned tasks that have not finished (diagnostics and tests).
    std::size_t live_tasks() const;

    // True once destruction has begun. A long-running task step (one that
    // keeps a worker busy without suspending) may poll it to give the
    // worker back early; suspended tasks need not care.
    bool stopping() const noexcept {
        // acquire: pairs with the release store in the destructor.
        return stopping_.load(std::memory_order_acquire);
    }

private:
    friend class IoHandle;
    friend class SleepAwaiter;
    friend struct detail::RootPromise;

    // Growable ring of queued coroutines; grows by doubling, never shrinks,
    // so a steady state allocates nothing. Guarded by `mu_`.
    class RunQueue {
    public:
        bool empty() const noexcept { return size_ == 0; }
        // Room for `n` queued tasks; may throw std::bad_alloc.
        void reserve(std::size_t n);
        // Never allocates when room was reserved for the task.
        void push(std::coroutine_handle<> handle) noexcept;
        std::coroutine_handle<> pop() noexcept;
        void clear() noexcept { head_ = size_ = 0; }

    private:
        std::vector<std::coroutine_handle<>> slots_;
        std::size_t head_ = 0;
        std::size_t size_ = 0;
    };

    struct TimerEntry {
        std::coroutine_handle<> handle;
        SleepAwaiter* owner;
    };
    using TimerMap = std::multimap<Clock::time_point, TimerEntry>;

    Runtime(std::string thread_name, std::size_t num_workers, std::size_t running_limit);

    void worker_main() noexcept;
    // Waits up to `timeout_ms` (0: just polls) for events and dispatches
    // them. Called without `mu_`.
    void poll_events(int timeout_ms) noexcept;
    void dispatch_io(std::uint64_t token, std::uint32_t events) noexcept;
    void signal_wake() noexcept;
    void drain_wake_pipe() noexcept;  // by the worker that took the wake-up event
    void fire_due_timers_locked(Clock::time_point now);
    int next_timeout_ms_locked(Clock::time_point now) const noexcept;

    // Timers (SleepAwaiter).
    TimerMap::iterator add_timer(Clock::time_point deadline, std::coroutine_handle<> handle, SleepAwaiter* owner);
    void cancel_timer(SleepAwaiter* owner) noexcept;

    // Spawned-task bookkeeping (RootPromise).
    void finish_root(detail::RootPromise* root) noexcept;

    // Descriptor slots (IoHandle).
    detail::IoSlot* slot_at(std::uint32_t index) const noexcept;
    Result<std::uint32_t> acquire_slot();
    void release_slot(std::uint32_t index) noexcept;

    const std::string thread_name_;
    const std::size_t num_workers_;
    const std::size_t running_limit_;
    int epoll_fd_ = -1;
    // The wake-up pipe: read end registered with epoll (edge-triggered),
    // write end written by signal_wake.
    int wake_read_fd_ = -1;
    int wake_write_fd_ = -1;
    std::vector<std::thread> threads_;

    // Scheduler state. `mu_` guards the run queue, the timers, `sleepers_`,
    // `wake_pending_` and `stop_`. It is a leaf lock: nothing else is taken
    // while it is held, and no user code runs under it. Wake-up sources
    // (notifier, descriptor slot, one-shot) call `schedule` while holding
    // their own lock, so the order is always source lock, then `mu_`.
    std::mutex mu_;
    RunQueue queue_;
    TimerMap timers_;
    std::size_t sleepers_ = 0;   // workers blocked (or about to block) in epoll_wait
    bool wake_pending_ = false;  // a wake-up write is not yet consumed by a worker
    bool stop_ = false;
    std::atomic<bool> stopping_{false};  // mirrors stop_ for lock-free reads
    // Threads between deciding, under `mu_`, to write the wake-up pipe and
    // having written it (see schedule). Incremented under `mu_`; decremented
    // with release as the waker's last touch of the runtime; the destructor
    // waits, with acquire loads, for 0 before it closes the pipe and frees.
    std::atomic<std::size_t> wakers_in_flight_{0};
    // Workers that have taken a running place (at most running_limit_); the
    // others wait on `park_cv_` for `stop_`. Guarded by `mu_`.
    std::size_t running_ = 0;
    std::condition_variable park_cv_;
    // Workers past their thread-local set-up; `create` waits on `started_cv_`
    // until all are. Guarded by `mu_`.
    std::size_t started_ = 0;
    std::condition_variable started_cv_;

    // Spawned tasks that have not finished, in an intrusive list; guarded by
    // `roots_mu_` (taken once per spawn and once per finished task).
    mutable std::mutex roots_mu_;
    detail::RootPromise* roots_head_ = nullptr;
    std::size_t root_count_ = 0;
    bool roots_closed_ = false;  // set by the destructor: spawn destroys instead

    // Descriptor slots: chunk k holds kFirstChunk << k slots, so a slot never
    // moves once created and a worker may read a chunk pointer without a
    // lock (acquire load, pairs with the release store that publishes the
    // chunk in acquire_slot). `io_mu_` guards the free list and the count of
    // slots ever created.
    static constexpr std::size_t kFirstChunkBits = 6;
    static constexpr std::size_t kMaxChunks = 24;
    std::atomic<detail::IoSlot*> chunks_[kMaxChunks] = {};
    std::mutex io_mu_;
    std::vector<std::uint32_t> free_slots_;
    std::uint32_t slots_created_ = 0;
    // Number of registered descriptors; read relaxed by busy workers only to
    // decide whether a periodic non-blocking poll is worth a syscall (a stale
    // value just delays the poll until a worker goes idle).
    std::atomic<std::size_t> registered_fds_{0};
};

// `co_await sleep_for(d)` suspends the calling task for at least `d`
// (millisecond resolution; a non-positive duration completes at once). The
// timer belongs to the runtime the task runs on; destroying the suspended
// task cancels it.
class SleepAwaiter {
public:
    explicit SleepAwaiter(Runtime::Clock::time_point deadline) noexcept : deadline_(deadline) {}
    SleepAwaiter(const SleepAwaiter&) = delete;
    SleepAwaiter& operator=(const SleepAwaiter&) = delete;
    ~SleepAwaiter();

    bool await_ready() const noexcept { return Runtime::Clock::now() >= deadline_; }
    void await_suspend(std::coroutine_handle<> handle) noexcept;
    void await_resume() const noexcept {}

private:
    friend class Runtime;
    Runtime::Clock::time_point deadline_;
    Runtime* runtime_ = nullptr;
    // Set when the timer is queued, cleared by the worker that fires it;
    // both under the runtime's `mu_`.
    bool armed_ = false;
    Runtime::TimerMap::iterator entry_{};
};

// A duration of zero or less is a sleep until now (the task still suspends);
// one beyond the clock's range saturates rather than overflows.
inline SleepAwaiter sleep_for(std::chrono::milliseconds duration) noexcept {
    const Runtime::Clock::time_point now = Runtime::Clock::now();
    if (duration <= std::chrono::milliseconds::zero()) return SleepAwaiter(now);
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Runtime::Clock::time_point::max() - now);
    return SleepAwaiter(duration >= room ? Runtime::Clock::time_point::max() : now + duration);
}

// `co_await yield_now()` requeues the calling task at the back of its
// runtime's run queue, letting other queued tasks run first.
struct YieldAwaiter {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const noexcept;
    void await_resume() const noexcept {}
};

inline YieldAwaiter yield_now() noexcept { return {}; }

}  // namespace ravo::runtime
