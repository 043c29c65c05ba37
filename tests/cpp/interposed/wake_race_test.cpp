// A wake-up still in flight when the task it woke has already run to its end
// and the runtime is being destroyed.
//
// A thread that wakes a task of another runtime queues it under that
// runtime's lock and then, outside the lock, writes the wake-up pipe. A busy
// worker may take the task in between, run it to its end, and the owner may
// destroy the runtime: the waker must not then write through a freed object
// to a closed (and perhaps reused) descriptor.
//
// The window is a few instructions wide; this binary widens it by
// interposing write(2) for the whole executable, which is why it is not part
// of ravo_tests: the waking thread is held inside its one-byte wake-up write
// while the test goes on. Every other write goes straight to the kernel.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "runtime/notifier.h"
#include "runtime/runtime.h"
#include "runtime/task.h"
#include "test_util.h"

namespace {

thread_local bool tls_hold_write = false;  // set on the waker thread only
std::atomic<bool> g_in_write{false};
std::atomic<bool> g_write_done{false};
std::atomic<long> g_write_result{0};

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t n) {
    if (!tls_hold_write || n != 1) return ::syscall(SYS_write, fd, buf, n);
    tls_hold_write = false;
    g_in_write.store(true);
    // What a preemption between the unlock and the write looks like.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long r = ::syscall(SYS_write, fd, buf, n);
    g_write_result.store(r);
    g_write_done.store(true);
    return r;
}

namespace ravo::runtime {
namespace {

TEST(RuntimeTeardown, WaitsForAWakeUpStillWritingItsPipe) {
    auto rt = ravo::testing::make_runtime(2);
    auto n = std::make_shared<Notifier>();
    std::atomic<bool> resumed{false}, spinning{false};

    // T waits once on the notifier, then ends.
    rt->spawn([](std::shared_ptr<Notifier> n, std::atomic<bool>* resumed) -> Task<void> {
        Ticket t = n->ticket();
        co_await t;
        resumed->store(true);
    }(n, &resumed));
    ASSERT_TRUE(ravo::testing::eventually([&] { return n->waiting() == 1; }));

    // S keeps one worker busy until the waker is inside its write; the other
    // worker goes to sleep, so the waker decides to write the pipe.
    rt->spawn([](std::atomic<bool>* spinning) -> Task<void> {
        spinning->store(true);
        while (!g_in_write.load()) std::this_thread::yield();
        co_return;
    }(&spinning));
    ASSERT_TRUE(ravo::testing::eventually([&] { return spinning.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The waker: in the server, a drainer waking a connection task.
    std::thread waker([&] {
        tls_hold_write = true;
        n->notify_one();
    });

    // The busy worker takes T as soon as S ends; T runs to its end.
    ASSERT_TRUE(ravo::testing::eventually([&] { return resumed.load() && rt->live_tasks() == 0; }));
    ASSERT_TRUE(g_in_write.load());
    rt.reset();
    // The destructor waited for the write, which reached the runtime's own
    // pipe while it was still open.
    EXPECT_TRUE(g_write_done.load());
    EXPECT_EQ(g_write_result.load(), 1);
    waker.join();
}

}  // namespace
}  // namespace ravo::runtime
