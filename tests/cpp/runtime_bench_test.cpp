// Micro-benchmarks of the runtime primitives. Disabled by default; run with
//   ravo_tests --gtest_also_run_disabled_tests --gtest_filter='RuntimeBench.*'
// They print figures and assert only that the work completed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/bounded_queue.h"
#include "runtime/notifier.h"
#include "runtime/runtime.h"
#include "runtime/task.h"
#include "test_util.h"

namespace ravo::runtime {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using ravo::testing::make_runtime;

TEST(RuntimeBench, DISABLED_NotifyOneWithWakeUpAlreadyPending) {
    Notifier n;
    n.notify_one();
    const int calls = 20'000'000;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) n.notify_one();
    const double s = seconds_since(start);
    std::printf("notify_one, wake-up pending: %.1f ns/call\n", s * 1e9 / calls);

    // The producer's full per-sample cost: ticket + notify_one.
    const auto start2 = Clock::now();
    for (int i = 0; i < calls; ++i) {
        Ticket t = n.ticket();
        n.notify_one();
    }
    const double s2 = seconds_since(start2);
    std::printf("ticket + notify_one, pending: %.1f ns/pair\n", s2 * 1e9 / calls);
}

// Two plain threads alternate through two notifiers.
TEST(RuntimeBench, DISABLED_PingPongThreadToThread) {
    const int rounds = 200'000;
    Notifier to_a;
    Notifier to_b;
    std::atomic<int> turn{0};
    std::thread b([&] {
        for (int i = 0; i < rounds; ++i) {
            for (;;) {
                Ticket t = to_b.ticket();
                if (turn.load() == 2 * i + 1) break;
                t.wait_blocking();
            }
            turn.store(2 * i + 2);
            to_a.notify_one();
        }
    });
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        for (;;) {
            Ticket t = to_a.ticket();
            if (turn.load() == 2 * i) break;
            t.wait_blocking();
        }
        turn.store(2 * i + 1);
        to_b.notify_one();
    }
    b.join();
    const double s = seconds_since(start);
    std::printf("thread <-> thread: %.0f round trips/s\n", rounds / s);
}

Task<void> ping_pong_side(std::shared_ptr<Notifier> in, std::shared_ptr<Notifier> out,
                          std::shared_ptr<std::atomic<int>> turn, int rounds, int parity,
                          std::shared_ptr<std::atomic<int>> done) {
    for (int i = 0; i < rounds; ++i) {
        for (;;) {
            Ticket t = in->ticket();
            if (turn->load() == 2 * i + parity) break;
            co_await t;
        }
        turn->store(2 * i + parity + 1);
        out->notify_one();
    }
    done->fetch_add(1);
}

void task_ping_pong(std::size_t workers) {
    const int rounds = 200'000;
    auto rt = make_runtime(workers);
    auto a = std::make_shared<Notifier>();
    auto b = std::make_shared<Notifier>();
    auto turn = std::make_shared<std::atomic<int>>(0);
    auto done = std::make_shared<std::atomic<int>>(0);
    const auto start = Clock::now();
    rt->spawn(ping_pong_side(a, b, turn, rounds, 0, done));
    rt->spawn(ping_pong_side(b, a, turn, rounds, 1, done));
    while (done->load() < 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double s = seconds_since(start);
    std::printf("task <-> task on %zu worker(s): %.0f round trips/s\n", workers, rounds / s);
}

TEST(RuntimeBench, DISABLED_PingPongTaskToTask) {
    task_ping_pong(1);
    task_ping_pong(2);
}

// Independent tasks that only yield: the scheduler's own cost per resume.
TEST(RuntimeBench, DISABLED_TasksResumedPerSecond) {
    for (std::size_t workers : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
        const int tasks = 16;
        const int yields = 200'000;
        auto rt = make_runtime(workers);
        auto done = std::make_shared<std::atomic<int>>(0);
        const auto start = Clock::now();
        for (int t = 0; t < tasks; ++t) {
            rt->spawn([](int yields, std::shared_ptr<std::atomic<int>> done) -> Task<void> {
                for (int i = 0; i < yields; ++i) co_await yield_now();
                done->fetch_add(1);
            }(yields, done));
        }
        while (done->load() < tasks) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double s = seconds_since(start);
        std::printf("yield_now on %zu worker(s): %.1f M resumes/s\n", workers, tasks * double(yields) / s / 1e6);
    }
}

TEST(RuntimeBench, DISABLED_BoundedQueueSpsc) {
    const int items = 20'000'000;
    BoundedQueue<std::uint64_t> q(1024);
    std::thread consumer([&] {
        std::uint64_t expected = 0;
        while (expected < static_cast<std::uint64_t>(items)) {
            if (std::optional<std::uint64_t> v = q.try_pop()) {
                if (*v != expected) std::abort();
                ++expected;
            }
        }
    });
    const auto start = Clock::now();
    for (int i = 0; i < items; ++i) {
        std::optional<std::uint64_t> v = static_cast<std::uint64_t>(i);
        while ((v = q.try_push(*v))) {
        }
    }
    consumer.join();
    const double s = seconds_since(start);
    std::printf("BoundedQueue 1P/1C (capacity 1024): %.1f M items/s\n", items / s / 1e6);
}

}  // namespace
}  // namespace ravo::runtime
