// Task runtime: worker threads, run queue, epoll dispatch, timers and the
// bookkeeping of spawned tasks. See runtime.h for the contract.
//
// Sleeping and waking. A worker with an empty run queue registers itself in
// `sleepers_` (under `mu_`, in the same critical section in which it saw the
// queue empty) and blocks in epoll_wait. `schedule` pushes under `mu_` and
// writes the wake-up pipe only when a worker sleeps and no earlier write is
// still unconsumed (`wake_pending_`); so a busy runtime queues without
// syscalls, and the mutex makes "saw the queue empty" and "registered as
// sleeper" atomic with respect to a push, which rules out a lost wake-up. The
// pipe's read end is edge-triggered: each write raises one event, delivered
// to one sleeping worker (epoll wakes waiters exclusively), which empties the
// pipe. A pipe rather than an eventfd because a pipe write wakes its reader
// synchronously (the kernel's sync wake-up hint, which epoll passes on): a
// woken worker is preferably placed on the waking thread's CPU instead of
// being sent to the other CPU with an inter-processor interrupt, and a worker
// under the batch policy then runs there once the waker blocks, with all the
// work queued meanwhile. On a small machine that halves the cost of a
// wake-up.
// A worker that pops a task and still sees queued work while others sleep
// wakes one more (chained wake-up), which spreads a burst over the workers.
// A worker that queues tasks while dispatching the events of its own wait
// wakes nobody: it takes the first task itself and the chained wake-up
// covers the rest.
// Busy workers poll epoll without blocking every kPollInterval resumptions
// when descriptors are registered, so I/O is not starved by a full queue.
//
// Parked workers. Only the first `running_limit_` workers to start run; the
// rest wait on a condition variable until destruction and are never counted
// in `sleepers_`, so no wake-up is ever spent on them. With 8 workers on 2
// CPUs (the constructor defaults on a small machine), 6 idle workers would
// otherwise sit in epoll_wait, and epoll hands almost every readiness event
// to one of them: a wake-up and a context switch per event, and a woken
// thread competing with the busy ones, where a busy worker would have found
// the event at its next poll for free.
#include "runtime/runtime.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>

#include "runtime/io_handle.h"

namespace ravo::runtime {

namespace {

thread_local Runtime* tls_current = nullptr;
// True while this worker thread is inside poll_events for a blocking wait:
// tasks it queues while dispatching the events it got need no wake-up, since
// it examines the queue right after (see schedule()).
thread_local bool tls_polling = false;

// epoll data of the wake-up pipe. Descriptor slots encode
// (generation << 32 | index) with index < 2^32 - 1, so they never collide.
constexpr std::uint64_t kWakeToken = ~std::uint64_t{0};
constexpr int kMaxEvents = 64;
constexpr std::uint32_t kPollInterval = 61;
constexpr std::size_t kLinuxThreadNameMax = 15;

void report(const char* what, int errnum) {
    std::fprintf(stderr, "ravo runtime: %s: %s\n", what, os_error_text(errnum).c_str());
}

// The CPUs the calling thread may run on; 0 when the mask cannot be read.
std::size_t usable_cpus() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 0;  // EINVAL: more CPUs than the set holds
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

// The batch policy is a preference, applied only over the normal policy the
// worker inherited from the thread that built the runtime. A process that
// runs under a real-time or idle policy chose it: the workers keep it (a
// switch would demote real-time workers, and leaving SCHED_IDLE needs a
// privilege the process may lack). A refused switch likewise leaves the
// inherited policy, which works; it is not a fault worth a line on standard
// error.
void apply_batch_policy(pthread_t thread) noexcept {
    int current = 0;
    sched_param param{};
    if (::pthread_getschedparam(thread, &current, &param) != 0 || current != SCHED_OTHER) return;
    param.sched_priority = 0;  // the only priority SCHED_BATCH takes
    // Refused (a seccomp or container policy): keep the inherited policy.
    (void)::pthread_setschedparam(thread, SCHED_BATCH, &param);
}

}  // namespace

std::string os_error_text(int errnum) {
    char buffer[256];
    // GNU strerror_r returns a pointer to the text (in buffer or static).
    const char* text = ::strerror_r(errnum, buffer, sizeof buffer);
    return std::string(text);
}

void AsyncWaiter::wake() const noexcept { runtime->schedule(handle); }

bool AsyncWaiter::try_wake() const noexcept {
    if (claim != nullptr) {
        std::uint8_t none = 0;
        // acq_rel: the winner's release orders its source's state (for
        // example the fired flag) before the resumed coroutine reads it;
        // acquire pairs with an earlier claim by another source.
        if (!claim->compare_exchange_strong(none, claim_id, std::memory_order_acq_rel)) return false;
    }
    runtime->schedule(handle);
    return true;
}

AsyncWaiter current_waiter(std::coroutine_handle<> handle, const char* what) noexcept {
    Runtime* runtime = Runtime::current();
    if (runtime == nullptr) {
        std::fprintf(stderr, "ravo runtime: %s awaited outside a runtime worker thread\n", what);
        std::abort();
    }
    return AsyncWaiter{handle, runtime};
}

// ---------------------------------------------------------------------------
// Spawned tasks: each runs inside a root coroutine that the runtime owns. The
// root unlinks and destroys itself when the task finishes; the destructor
// destroys the roots that have not.

namespace detail {

struct RootTask {
    using promise_type = RootPromise;
    std::coroutine_handle<RootPromise> handle;
};

struct RootPromise {
    Runtime* runtime = nullptr;
    // Links of the runtime's list of unfinished tasks, guarded by
    // `runtime->roots_mu_`.
    RootPromise* prev = nullptr;
    RootPromise* next = nullptr;

    RootTask get_return_object() noexcept { return RootTask{std::coroutine_handle<RootPromise>::from_promise(*this)}; }
    std::suspend_always initial_suspend() const noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<RootPromise> self) const noexcept {
            // The frame is suspended here, so destroying it is allowed; the
            // worker's resume() then returns.
            self.promise().runtime->finish_root(&self.promise());
            self.destroy();
        }
        void await_resume() const noexcept {}
    };
    FinalAwaiter final_suspend() const noexcept { return {}; }
    void return_void() const noexcept {}
    // The body below catches everything.
    void unhandled_exception() const noexcept { std::terminate(); }
};

}  // namespace detail

namespace {

detail::RootTask run_detached(Task<void> task) {
    try {
        co_await std::move(task);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ravo runtime: detached task failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "ravo runtime: detached task failed with an unknown exception\n");
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Run queue.

void Runtime::RunQueue::reserve(std::size_t n) {
    if (n <= slots_.size()) return;
    // Grow to a power of two, unrolling the ring in order.
    std::size_t cap = slots_.empty() ? 64 : slots_.size();
    while (cap < n) cap *= 2;
    std::vector<std::coroutine_handle<>> bigger(cap);
    for (std::size_t i = 0; i < size_; ++i) bigger[i] = slots_[(head_ + i) & (slots_.size() - 1)];
    slots_.swap(bigger);
    head_ = 0;
}

void Runtime::RunQueue::push(std::coroutine_handle<> handle) noexcept {
    // Spawned tasks reserve their room, so this never grows the queue; the
    // growth stays as a guard (it would end the process if out of memory).
    if (size_ == slots_.size()) reserve(size_ + 1);
    slots_[(head_ + size_) & (slots_.size() - 1)] = handle;
    ++size_;
}

std::coroutine_handle<> Runtime::RunQueue::pop() noexcept {
    std::coroutine_handle<> handle = slots_[head_];
    head_ = (head_ + 1) & (slots_.size() - 1);
    --size_;
    return handle;
}

// ---------------------------------------------------------------------------
// Construction and teardown.

Runtime::Runtime(std::string thread_name, std::size_t num_workers, std::size_t running_limit)
    : thread_name_(std::move(thread_name)), num_workers_(num_workers), running_limit_(running_limit) {}

Result<std::unique_ptr<Runtime>> Runtime::create(std::string thread_name, std::size_t num_workers,
                                                 WorkerPolicy policy, std::size_t max_running) {
    if (num_workers == 0) return Error::config("runtime needs at least one worker thread");
    // A mask that cannot be read (a machine with more CPUs than cpu_set_t
    // holds) sets no limit.
    if (max_running == kRunningLimitCpus) max_running = usable_cpus();
    const std::size_t running_limit = max_running == 0 ? num_workers : std::min(max_running, num_workers);

    std::unique_ptr<Runtime> runtime(new Runtime(std::move(thread_name), num_workers, running_limit));
    // From here every early return destroys `runtime`, which stops and joins
    // the workers started so far and closes the descriptors.
    runtime->epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (runtime->epoll_fd_ < 0) return Error::system(os_error_text(errno));
    int pipe_fds[2] = {-1, -1};
    if (::pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) return Error::system(os_error_text(errno));
    runtime->wake_read_fd_ = pipe_fds[0];
    runtime->wake_write_fd_ = pipe_fds[1];
    epoll_event wake{};
    wake.events = EPOLLIN | EPOLLET;
    wake.data.u64 = kWakeToken;
    if (::epoll_ctl(runtime->epoll_fd_, EPOLL_CTL_ADD, runtime->wake_read_fd_, &wake) != 0) {
        return Error::system(os_error_text(errno));
    }

    const std::string short_name = runtime->thread_name_.substr(0, kLinuxThreadNameMax);
    try {
        runtime->threads_.reserve(num_workers);
        for (std::size_t i = 0; i < num_workers; ++i) {
            Runtime* self = runtime.get();
            runtime->threads_.emplace_back([self] { self->worker_main(); });
            const int err = ::pthread_setname_np(runtime->threads_.back().native_handle(), short_name.c_str());
            if (err != 0) return Error::system(os_error_text(err));
            if (policy == WorkerPolicy::Batch) apply_batch_policy(runtime->threads_.back().native_handle());
        }
    } catch (const std::system_error& e) {
        return Error::system(os_error_text(e.code().value()));
    } catch (const std::bad_alloc&) {
        return Error::memory(os_error_text(ENOMEM));
    } catch (const std::length_error&) {  // a worker count beyond what a vector can hold
        return Error::memory(os_error_text(ENOMEM));
    }
    {
        std::unique_lock<std::mutex> lock(runtime->mu_);
        runtime->started_cv_.wait(lock, [&] { return runtime->started_ == num_workers; });
    }
    return runtime;
}

Runtime::~Runtime() {
    if (tls_current == this) {
        std::fprintf(stderr, "ravo runtime: a runtime was destroyed by one of its own worker threads\n");
        std::abort();
    }

    // 1. Stop the workers. Each finishes the step it is running, sees `stop_`
    //    at the top of its loop and exits; sleeping ones are woken by the
    //    wake-up pipe, each exiting worker passing the wake-up on.
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
        // release: pairs with the acquire load in stopping().
        stopping_.store(true, std::memory_order_release);
    }
    park_cv_.notify_all();  // parked workers see stop_ (set under mu_) and exit
    if (wake_write_fd_ >= 0) signal_wake();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();

    // 2. Cancel the unfinished tasks: destroy each top-level frame once.
    //    Their destructors may wake waiters (queued here, never resumed) or
    //    spawn (refused from now on), so no runtime lock is held meanwhile.
    detail::RootPromise* root = nullptr;
    {
        std::lock_guard<std::mutex> lock(roots_mu_);
        roots_closed_ = true;
        root = std::exchange(roots_head_, nullptr);
        root_count_ = 0;
    }
    while (root != nullptr) {
        detail::RootPromise* next = root->next;
        std::coroutine_handle<detail::RootPromise>::from_promise(*root).destroy();
        root = next;
    }

    // 3. Whatever is still queued belongs to destroyed frames.
    {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.clear();
        timers_.clear();
    }
    // 4. A waker that queued a task of ours before the lock above may still
    //    be about to write the pipe (see schedule); it is a few instructions
    //    from done, unless preempted.
    while (wakers_in_flight_.load(std::memory_order_acquire) != 0) std::this_thread::yield();

    const std::size_t leaked = registered_fds_.load(std::memory_order_relaxed);
    if (leaked != 0) {
        std::fprintf(stderr, "ravo runtime: %zu descriptor(s) still registered at runtime teardown\n", leaked);
    }
    if (wake_read_fd_ >= 0 && ::close(wake_read_fd_) != 0) report("close(wake-up pipe)", errno);
    if (wake_write_fd_ >= 0 && ::close(wake_write_fd_) != 0) report("close(wake-up pipe)", errno);
    if (epoll_fd_ >= 0 && ::close(epoll_fd_) != 0) report("close(epoll)", errno);
    for (std::atomic<detail::IoSlot*>& chunk : chunks_) delete[] chunk.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Spawning and scheduling.

void Runtime::spawn(Task<void> task) {
    if (!task.valid()) return;
    detail::RootTask root = run_detached(std::move(task));
    detail::RootPromise& promise = root.handle.promise();
    promise.runtime = this;
    bool refused = false;
    try {
        std::lock_guard<std::mutex> lock(roots_mu_);
        if (roots_closed_) {
            refused = true;
        } else {
            // Room in the run queue for every live task, taken here where a
            // failure can be reported: a task is queued at most once at a
            // time, so schedule(), which cannot fail, then never grows it.
            // Lock order: roots_mu_ before mu_ (nothing takes them the other
            // way round).
            {
                std::lock_guard<std::mutex> queue_lock(mu_);
                queue_.reserve(root_count_ + 1);
            }
            promise.next = roots_head_;
            if (roots_head_ != nullptr) roots_head_->prev = &promise;
            roots_head_ = &promise;
            ++root_count_;
        }
    } catch (...) {  // bad_alloc from the reservation: the task never ran
        root.handle.destroy();
        throw;
    }
    if (refused) {
        root.handle.destroy();
        return;
    }
    schedule(root.handle);
}

void Runtime::finish_root(detail::RootPromise* root) noexcept {
    std::lock_guard<std::mutex> lock(roots_mu_);
    if (root->prev != nullptr) {
        root->prev->next = root->next;
    } else {
        roots_head_ = root->next;
    }
    if (root->next != nullptr) root->next->prev = root->prev;
    --root_count_;
}

std::size_t Runtime::live_tasks() const {
    std::lock_guard<std::mutex> lock(roots_mu_);
    return root_count_;
}

Runtime* Runtime::current() noexcept { return tls_current; }

void Runtime::schedule(std::coroutine_handle<> handle) noexcept {
    // A worker of this runtime that queues a task while dispatching the
    // events of its own wait wakes nobody: it looks at the queue itself as
    // soon as the dispatch is done, takes the first task, and the chained
    // wake-up in worker_main brings in a peer if more are queued. Without
    // this every readiness event would also wake a second worker, which
    // mostly finds the task already taken and goes back to sleep.
    //
    // Once `mu_` is released a worker may take the task, run it to its end,
    // and the owner may destroy the runtime while this thread (another
    // runtime's, or a plain one) has yet to write the pipe: it would write
    // through a freed object to a descriptor number that may already be
    // someone else's. So the waker counts itself in flight under the same
    // lock as the push, and the destructor waits for it. The write itself
    // stays outside the lock: the worker it wakes takes `mu_` at once.
    const bool own_dispatch = tls_polling && tls_current == this;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push(handle);
        wake = !own_dispatch && sleepers_ > 0 && !wake_pending_;
        if (wake) {
            wake_pending_ = true;
            // Relaxed: under `mu_`, which the destructor takes before it
            // reads the count.
            wakers_in_flight_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (wake) {
        signal_wake();
        // Release, the last touch of `this`: pairs with the destructor's
        // acquire load, which then sees the write done.
        wakers_in_flight_.fetch_sub(1, std::memory_order_release);
    }
}

void Runtime::signal_wake() noexcept {
    const std::uint8_t byte = 1;
    for (;;) {
        const ssize_t written = ::write(wake_write_fd_, &byte, 1);
        if (written == 1) return;
        if (written < 0 && errno == EINTR) continue;
        // EAGAIN: the pipe is full of unread wake-ups, so one is pending anyway.
        if (written < 0 && errno == EAGAIN) return;
        report("write(wake-up pipe)", written < 0 ? errno : EIO);
        return;
    }
}

void Runtime::drain_wake_pipe() noexcept {
    std::uint8_t sink[256];
    for (;;) {
        const ssize_t got = ::read(wake_read_fd_, sink, sizeof sink);
        if (got == static_cast<ssize_t>(sizeof sink)) continue;  // maybe more
        if (got >= 0) return;  // emptied (a short read leaves nothing behind)
        if (errno == EINTR) continue;
        if (errno != EAGAIN) report("read(wake-up pipe)", errno);
        return;
    }
}

// ---------------------------------------------------------------------------
// Workers.

void Runtime::worker_main() noexcept {
    // The thread-local blocks of this library and of the C++ runtime library
    // (which holds the exception state) are allocated on a thread's first use
    // of each, and the dynamic loader ends the whole process when that
    // allocation fails. Both are touched here, before `create` returns, so a
    // worker that first throws std::bad_alloc when memory has run out (a
    // sample buffer that cannot be had) reports it instead of aborting.
    tls_current = this;
    (void)std::uncaught_exceptions();
    std::uint32_t steps_since_poll = 0;
    std::unique_lock<std::mutex> lock(mu_);
    ++started_;
    started_cv_.notify_all();
    park_cv_.wait(lock, [this] { return stop_ || running_ < running_limit_; });
    ++running_;
    while (!stop_) {
        if (!timers_.empty()) fire_due_timers_locked(Clock::now());
        if (!queue_.empty()) {
            const std::coroutine_handle<> next = queue_.pop();
            const bool wake_peer = !queue_.empty() && sleepers_ > 0 && !wake_pending_;
            if (wake_peer) wake_pending_ = true;
            lock.unlock();
            if (wake_peer) signal_wake();
            next.resume();
            if (++steps_since_poll >= kPollInterval) {
                steps_since_poll = 0;
                // relaxed: pairs with the increments in IoHandle::adopt; a
                // stale zero only delays this opportunistic poll.
                if (registered_fds_.load(std::memory_order_relaxed) > 0) poll_events(0);
            }
            lock.lock();
            continue;
        }
        const int timeout = next_timeout_ms_locked(Clock::now());
        ++sleepers_;
        lock.unlock();
        tls_polling = true;
        poll_events(timeout);
        tls_polling = false;
        lock.lock();
        --sleepers_;
        steps_since_poll = 0;
    }
    const bool pass_on = sleepers_ > 0;
    lock.unlock();
    if (pass_on) signal_wake();
    tls_current = nullptr;
}

void Runtime::poll_events(int timeout_ms) noexcept {
    epoll_event events[kMaxEvents];
    const int count = ::epoll_wait(epoll_fd_, events, kMaxEvents, timeout_ms);
    if (count < 0) {
        if (errno == EINTR) return;
        report("epoll_wait", errno);
        // Do not spin on a persistent failure.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return;
    }
    bool woken = false;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == kWakeToken) {
            woken = true;
        } else {
            dispatch_io(events[i].data.u64, events[i].events);
        }
    }
    if (woken) {
        // Empty the pipe before the flag is cleared: a write that lands after
        // this read raises a new edge and so a new event.
        drain_wake_pipe();
        // The caller re-examines the queue under `mu_` after this returns,
        // so a push that skipped its pipe write because the flag was
        // still set is seen then.
        std::lock_guard<std::mutex> lock(mu_);
        wake_pending_ = false;
    }
}

void Runtime::dispatch_io(std::uint64_t token, std::uint32_t events) noexcept {
    const auto index = static_cast<std::uint32_t>(token);
    const auto generation = static_cast<std::uint32_t>(token >> 32);
    detail::IoSlot* slot = slot_at(index);
    const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
    const bool hit[2] = {failed || (events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI)) != 0,
                         failed || (events & EPOLLOUT) != 0};
    std::lock_guard<std::mutex> lock(slot->mu);
    if (slot->generation != generation) return;  // deregistered meanwhile
    for (int dir = 0; dir < 2; ++dir) {
        if (!hit[dir]) continue;
        // Queued while the slot lock is held: see IoSlot. A waiter that
        // another source claimed first leaves the edge in the ready flag.
        const AsyncWaiter waiter = std::exchange(slot->waiter[dir], AsyncWaiter{});
        if (!waiter || !waiter.try_wake()) slot->ready[dir] = true;
    }
}

// ---------------------------------------------------------------------------
// Timers.

void Runtime::fire_due_timers_locked(Clock::time_point now) {
    while (!timers_.empty() && timers_.begin()->first <= now) {
        const auto first = timers_.begin();
        first->second.owner->armed_ = false;
        queue_.push(first->second.handle);
        timers_.erase(first);
    }
}

int Runtime::next_timeout_ms_locked(Clock::time_point now) const noexcept {
    if (timers_.empty()) return -1;
    const auto left = timers_.begin()->first - now;
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

Runtime::TimerMap::iterator Runtime::add_timer(Clock::time_point deadline, std::coroutine_handle<> handle,
                                               SleepAwaiter* owner) {
    bool wake = false;
    TimerMap::iterator entry;
    {
        std::lock_guard<std::mutex> lock(mu_);
        const bool earliest = timers_.empty() || deadline < timers_.begin()->first;
        entry = timers_.emplace(deadline, TimerEntry{handle, owner});
        owner->entry_ = entry;
        owner->armed_ = true;
        // A sleeping worker computed its timeout from the old first
        // deadline; make one recompute. If a wake-up is already pending, the
        // worker it wakes recomputes anyway.
        wake = earliest && sleepers_ > 0 && !wake_pending_;
        if (wake) wake_pending_ = true;
    }
    if (wake) signal_wake();
    return entry;
}

void Runtime::cancel_timer(SleepAwaiter* owner) noexcept {
    std::lock_guard<std::mutex> lock(mu_);
    if (owner->armed_) {
        timers_.erase(owner->entry_);
        owner->armed_ = false;
    }
}

void SleepAwaiter::await_suspend(std::coroutine_handle<> handle) noexcept {
    runtime_ = current_waiter(handle, "sleep_for").runtime;
    // After this call the timer may fire and the task run elsewhere: `this`
    // is not touched again here.
    runtime_->add_timer(deadline_, handle, this);
}

SleepAwaiter::~SleepAwaiter() {
    if (runtime_ != nullptr) runtime_->cancel_timer(this);
}

void YieldAwaiter::await_suspend(std::coroutine_handle<> handle) const noexcept {
    current_waiter(handle, "yield_now").wake();
}

// ---------------------------------------------------------------------------
// Descriptor slots.

namespace {

// Slot index -> (chunk, offset): chunk k covers indices
// [64 * (2^k - 1), 64 * (2^(k+1) - 1)).
struct SlotPos {
    std::size_t chunk;
    std::size_t offset;
};

SlotPos slot_pos(std::uint32_t index, std::size_t first_bits) {
    const std::uint64_t shifted = std::uint64_t{index} + (std::uint64_t{1} << first_bits);
    const auto chunk = static_cast<std::size_t>(std::bit_width(shifted)) - first_bits - 1;
    return SlotPos{chunk, static_cast<std::size_t>(shifted - (std::uint64_t{1} << (first_bits + chunk)))};
}

}  // namespace

detail::IoSlot* Runtime::slot_at(std::uint32_t index) const noexcept {
    const SlotPos pos = slot_pos(index, kFirstChunkBits);
    // acquire: pairs with the release store that published the chunk.
    return chunks_[pos.chunk].load(std::memory_order_acquire) + pos.offset;
}

Result<std::uint32_t> Runtime::acquire_slot() {
    std::lock_guard<std::mutex> lock(io_mu_);
    if (!free_slots_.empty()) {
        const std::uint32_t index = free_slots_.back();
        free_slots_.pop_back();
        return index;
    }
    const std::uint32_t index = slots_created_;
    const SlotPos pos = slot_pos(index, kFirstChunkBits);
    if (pos.chunk >= kMaxChunks) return Error::system(os_error_text(EMFILE));
    try {
        // Room for every slot to come back, so release_slot never allocates.
        free_slots_.reserve(std::size_t{index} + 1);
        if (pos.offset == 0) {
            // release: pairs with the acquire load in slot_at.
            chunks_[pos.chunk].store(new detail::IoSlot[std::size_t{1} << (kFirstChunkBits + pos.chunk)],
                                     std::memory_order_release);
        }
    } catch (const std::bad_alloc&) {
        return Error::memory(os_error_text(ENOMEM));
    }
    ++slots_created_;
    return index;
}

void Runtime::release_slot(std::uint32_t index) noexcept {
    detail::IoSlot* slot = slot_at(index);
    {
        std::lock_guard<std::mutex> lock(slot->mu);
        ++slot->generation;  // events still in flight for the old registration are ignored
        slot->ready[0] = slot->ready[1] = false;
        slot->waiter[0] = slot->waiter[1] = AsyncWaiter{};
    }
    std::lock_guard<std::mutex> lock(io_mu_);
    free_slots_.push_back(index);
}

}  // namespace ravo::runtime
