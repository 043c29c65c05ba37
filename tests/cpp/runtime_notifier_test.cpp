// Notifier semantics: pending wake-one, wake-all reach, passing on a wake-up
// from a dropped ticket, and lost-wake-up stress with tasks and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/notifier.h"
#include "runtime/runtime.h"
#include "runtime/task.h"
#include "test_util.h"

namespace ravo::runtime {
namespace {

using namespace std::chrono_literals;

using ravo::testing::kScale;

using ravo::testing::eventually;

using ravo::testing::make_runtime;

using ravo::testing::Tracked;

// --- wake-one --------------------------------------------------------------

TEST(RuntimeNotifier, NotifyOneWithoutWaiterStoresExactlyOneWakeUp) {
    Notifier n;
    n.notify_one();
    n.notify_one();  // must not stack up a second pending wake-up
    Ticket first = n.ticket();
    EXPECT_TRUE(first.wait_blocking_for(0ms));
    Ticket second = n.ticket();
    EXPECT_FALSE(second.wait_blocking_for(20ms));
}

TEST(RuntimeNotifier, PendingWakeUpIsConsumedByTicketTakenBeforeOrAfterIt) {
    Notifier n;
    Ticket before = n.ticket();  // taken, condition tested, not yet waiting
    n.notify_one();
    EXPECT_TRUE(before.wait_blocking_for(0ms));

    n.notify_one();
    Ticket after = n.ticket();
    EXPECT_TRUE(after.wait_blocking_for(0ms));
}

TEST(RuntimeNotifier, NotifyOneWakesOneWaiterOldestFirst) {
    Notifier n;
    std::atomic<int> woken_mask{0};
    std::thread first([&] {
        Ticket t = n.ticket();
        t.wait_blocking();
        woken_mask.fetch_or(1);
    });
    ASSERT_TRUE(eventually([&] { return n.waiting() == 1; }));
    std::thread second([&] {
        Ticket t = n.ticket();
        t.wait_blocking();
        woken_mask.fetch_or(2);
    });
    ASSERT_TRUE(eventually([&] { return n.waiting() == 2; }));

    n.notify_one();
    ASSERT_TRUE(eventually([&] { return woken_mask.load() != 0; }));
    first.join();
    EXPECT_EQ(woken_mask.load(), 1);
    EXPECT_EQ(n.waiting(), 1u);

    n.notify_one();
    second.join();
    EXPECT_EQ(woken_mask.load(), 3);
    // Both wake-ups went to waiters: nothing is pending.
    Ticket t = n.ticket();
    EXPECT_FALSE(t.wait_blocking_for(10ms));
}

TEST(RuntimeNotifier, TimedOutWaitConsumesNothingAndLeavesTheList) {
    Notifier n;
    Ticket t = n.ticket();
    EXPECT_FALSE(t.wait_blocking_for(5ms));
    EXPECT_EQ(n.waiting(), 0u);
    n.notify_one();  // nobody waits: stored
    Ticket other = n.ticket();
    EXPECT_TRUE(other.wait_blocking_for(0ms));
    // The timed-out ticket can still wait; it is still subject to wake-all.
    n.notify_all();
    EXPECT_TRUE(t.wait_blocking_for(0ms));
}

// --- wake-all --------------------------------------------------------------

TEST(RuntimeNotifier, NotifyAllReachesEveryEarlierTicketAndStoresNothing) {
    Notifier n;
    Ticket not_yet_waiting = n.ticket();
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            Ticket t = n.ticket();
            t.wait_blocking();
            woken.fetch_add(1);
        });
    }
    ASSERT_TRUE(eventually([&] { return n.waiting() == 3; }));
    n.notify_all();
    for (std::thread& w : waiters) w.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(n.waiting(), 0u);

    // Taken before the call, waited on after it: completes at once.
    EXPECT_TRUE(not_yet_waiting.wait_blocking_for(0ms));
    // Taken after the call: nothing was stored for it.
    Ticket later = n.ticket();
    EXPECT_FALSE(later.wait_blocking_for(20ms));
}

TEST(RuntimeNotifier, NotifyAllKeepsAPendingWakeOne) {
    Notifier n;
    n.notify_one();
    n.notify_all();
    Ticket t = n.ticket();
    EXPECT_TRUE(t.wait_blocking_for(0ms));  // the stored wake-one
    Ticket u = n.ticket();
    EXPECT_FALSE(u.wait_blocking_for(10ms));
}

TEST(RuntimeNotifier, TaskWaitsAndIsWokenByPlainThread) {
    auto rt = make_runtime(2);
    auto n = std::make_shared<Notifier>();
    std::atomic<int> stage{0};
    rt->spawn([](std::shared_ptr<Notifier> n, std::atomic<int>* stage) -> Task<void> {
        Ticket t = n->ticket();
        stage->store(1);
        co_await t;
        stage->store(2);
        Ticket all = n->ticket();
        co_await all.wait();
        stage->store(3);
    }(n, &stage));
    ASSERT_TRUE(eventually([&] { return n->waiting() == 1; }));
    n->notify_one();
    ASSERT_TRUE(eventually([&] { return n->waiting() == 1 && stage.load() == 2; }));
    n->notify_all();
    ASSERT_TRUE(eventually([&] { return stage.load() == 3; }));
    ASSERT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

// --- passing a wake-up on -------------------------------------------------

// A task is woken by notify_one but destroyed (runtime teardown) before it
// runs: its ticket must hand the wake-up to the next waiter.
TEST(RuntimeNotifier, DroppedWokenTicketPassesWakeOneOnToAnotherWaiter) {
    auto rt = make_runtime(1);
    auto n = std::make_shared<Notifier>();
    std::atomic<int> live{0};
    std::atomic<bool> waiter_resumed{false};
    std::atomic<bool> blocker_running{false};

    rt->spawn([](std::shared_ptr<Notifier> n, std::atomic<int>* live, std::atomic<bool>* resumed) -> Task<void> {
        Tracked tracked(*live);
        Ticket t = n->ticket();
        co_await t;
        resumed->store(true);
    }(n, &live, &waiter_resumed));
    ASSERT_TRUE(eventually([&] { return n->waiting() == 1; }));

    // Occupy the only worker until teardown begins, so the woken task can
    // never run before its frame is destroyed.
    rt->spawn([](std::atomic<bool>* running) -> Task<void> {
        running->store(true);
        while (!Runtime::current()->stopping()) std::this_thread::sleep_for(1ms);
        co_return;
    }(&blocker_running));
    ASSERT_TRUE(eventually([&] { return blocker_running.load(); }));

    n->notify_one();  // goes to the task's ticket, which is queued, not run
    EXPECT_EQ(n->waiting(), 0u);

    std::atomic<bool> thread_woken{false};
    std::thread other([&] {
        Ticket t = n->ticket();
        t.wait_blocking();
        thread_woken.store(true);
    });
    ASSERT_TRUE(eventually([&] { return n->waiting() == 1; }));
    EXPECT_FALSE(thread_woken.load());

    rt.reset();  // destroys the woken-but-unrun frame
    EXPECT_TRUE(eventually([&] { return thread_woken.load(); }));
    other.join();
    EXPECT_FALSE(waiter_resumed.load());
    EXPECT_EQ(live.load(), 0);
}

TEST(RuntimeNotifier, DroppedWokenTicketWithNoOtherWaiterStoresTheWakeUp) {
    auto rt = make_runtime(1);
    auto n = std::make_shared<Notifier>();
    std::atomic<bool> blocker_running{false};
    rt->spawn([](std::shared_ptr<Notifier> n) -> Task<void> {
        Ticket t = n->ticket();
        co_await t;
    }(n));
    ASSERT_TRUE(eventually([&] { return n->waiting() == 1; }));
    rt->spawn([](std::atomic<bool>* running) -> Task<void> {
        running->store(true);
        while (!Runtime::current()->stopping()) std::this_thread::sleep_for(1ms);
        co_return;
    }(&blocker_running));
    ASSERT_TRUE(eventually([&] { return blocker_running.load(); }));
    n->notify_one();
    rt.reset();
    Ticket t = n->ticket();
    EXPECT_TRUE(t.wait_blocking_for(0ms));
    Ticket u = n->ticket();
    EXPECT_FALSE(u.wait_blocking_for(10ms));
}

// --- stress ----------------------------------------------------------------

// Strict alternation through two notifiers: any lost wake-up stalls the
// exchange forever (caught by the timeout).
TEST(RuntimeNotifier, PingPongBetweenTaskAndThreadLosesNoWakeUp) {
    const int rounds = 20000 / kScale;
    auto rt = make_runtime(2);
    auto to_task = std::make_shared<Notifier>();
    auto to_thread = std::make_shared<Notifier>();
    auto turn = std::make_shared<std::atomic<int>>(0);  // even: task's turn
    std::atomic<bool> task_done{false};

    rt->spawn([](std::shared_ptr<Notifier> in, std::shared_ptr<Notifier> out, std::shared_ptr<std::atomic<int>> turn,
                 int rounds, std::atomic<bool>* done) -> Task<void> {
        for (int i = 0; i < rounds; ++i) {
            for (;;) {
                Ticket t = in->ticket();
                if (turn->load() == 2 * i) break;
                co_await t;
            }
            turn->store(2 * i + 1);
            out->notify_one();
        }
        done->store(true);
    }(to_task, to_thread, turn, rounds, &task_done));

    bool stalled = false;
    for (int i = 0; i < rounds && !stalled; ++i) {
        for (;;) {
            Ticket t = to_thread->ticket();
            if (turn->load() == 2 * i + 1) break;
            if (!t.wait_blocking_for(30s)) {
                stalled = true;
                break;
            }
        }
        turn->store(2 * i + 2);
        to_task->notify_one();
    }
    EXPECT_FALSE(stalled);
    EXPECT_TRUE(eventually([&] { return task_done.load(); }));
}

// Producers hand out tokens with notify_one; consumers (tasks and threads)
// take them ticket-first. Every token must be taken without any wake-all
// help: a lost wake-up leaves tokens behind with every consumer asleep.
TEST(RuntimeNotifier, WakeUpStormLosesNoToken) {
    const int producers = 4;
    const int per_producer = 20000 / kScale;
    const int total = producers * per_producer;
    const int task_consumers = 6;
    const int thread_consumers = 2;

    auto rt = make_runtime(3);
    auto n = std::make_shared<Notifier>();
    auto tokens = std::make_shared<std::atomic<std::int64_t>>(0);
    auto taken = std::make_shared<std::atomic<std::int64_t>>(0);
    auto stop = std::make_shared<std::atomic<bool>>(false);

    auto take_token = [](std::atomic<std::int64_t>& pool) {
        std::int64_t have = pool.load();
        while (have > 0) {
            if (pool.compare_exchange_weak(have, have - 1)) return true;
        }
        return false;
    };

    std::atomic<int> consumers_done{0};
    for (int c = 0; c < task_consumers; ++c) {
        rt->spawn([](std::shared_ptr<Notifier> n, std::shared_ptr<std::atomic<std::int64_t>> tokens,
                     std::shared_ptr<std::atomic<std::int64_t>> taken, std::shared_ptr<std::atomic<bool>> stop,
                     decltype(take_token) take, std::atomic<int>* done) -> Task<void> {
            for (;;) {
                Ticket t = n->ticket();
                if (take(*tokens)) {
                    taken->fetch_add(1);
                    continue;
                }
                if (stop->load()) break;
                co_await t;
            }
            done->fetch_add(1);
        }(n, tokens, taken, stop, take_token, &consumers_done));
    }
    std::vector<std::thread> threads;
    for (int c = 0; c < thread_consumers; ++c) {
        threads.emplace_back([&] {
            for (;;) {
                Ticket t = n->ticket();
                if (take_token(*tokens)) {
                    taken->fetch_add(1);
                    continue;
                }
                if (stop->load()) break;
                t.wait_blocking();
            }
            consumers_done.fetch_add(1);
        });
    }
    std::vector<std::thread> producer_threads;
    for (int p = 0; p < producers; ++p) {
        producer_threads.emplace_back([&] {
            for (int i = 0; i < per_producer; ++i) {
                tokens->fetch_add(1);
                n->notify_one();
            }
        });
    }
    for (std::thread& p : producer_threads) p.join();

    EXPECT_TRUE(eventually([&] { return taken->load() == total; })) << "taken " << taken->load() << " of " << total;
    EXPECT_EQ(tokens->load(), 0);

    stop->store(true);
    n->notify_all();
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(eventually([&] { return consumers_done.load() == task_consumers + thread_consumers; }));
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

// Rounds of wake-all: every round each waiter must observe the new
// generation; a missed wake-all stalls the round.
TEST(RuntimeNotifier, WakeAllRoundsReachEveryWaiter) {
    const int waiters = 6;
    const int rounds = 3000 / kScale;
    auto rt = make_runtime(3);
    auto n = std::make_shared<Notifier>();
    auto done_n = std::make_shared<Notifier>();
    auto generation = std::make_shared<std::atomic<int>>(0);
    auto arrived = std::make_shared<std::atomic<int>>(0);

    for (int w = 0; w < waiters; ++w) {
        rt->spawn([](std::shared_ptr<Notifier> n, std::shared_ptr<Notifier> done_n,
                     std::shared_ptr<std::atomic<int>> generation, std::shared_ptr<std::atomic<int>> arrived,
                     int rounds) -> Task<void> {
            for (int seen = 0; seen < rounds;) {
                Ticket t = n->ticket();
                const int g = generation->load();
                if (g > seen) {
                    seen = g;
                    arrived->fetch_add(1);
                    done_n->notify_one();
                    continue;
                }
                co_await t;
            }
        }(n, done_n, generation, arrived, rounds));
    }
    bool stalled = false;
    for (int r = 1; r <= rounds && !stalled; ++r) {
        generation->store(r);
        n->notify_all();
        for (;;) {
            Ticket t = done_n->ticket();
            if (arrived->load() == r * waiters) break;
            if (!t.wait_blocking_for(30s)) {
                stalled = true;
                break;
            }
        }
    }
    EXPECT_FALSE(stalled) << "arrived " << arrived->load();
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

// Tasks on runtime A wait on a notifier that a runtime B and a plain thread
// keep waking while A is destroyed. Every frame of A is destroyed exactly
// once, each is resumed only on A's workers, nothing leaks.
TEST(RuntimeNotifier, ForeignWakeUpsDuringTeardownAreSafe) {
    const int iterations = 40 / kScale + 2;
    for (int iter = 0; iter < iterations; ++iter) {
        auto a = make_runtime(2);
        auto b = make_runtime(2);
        auto n = std::make_shared<Notifier>();
        std::atomic<int> live{0};
        auto b_stop = std::make_shared<std::atomic<bool>>(false);

        for (int i = 0; i < 8; ++i) {
            a->spawn([](std::shared_ptr<Notifier> n, std::atomic<int>* live, Runtime* own) -> Task<void> {
                Tracked tracked(*live);
                for (;;) {
                    Ticket t = n->ticket();
                    co_await t;
                    // Resumed only by a worker of its own runtime.
                    EXPECT_EQ(Runtime::current(), own);
                }
            }(n, &live, a.get()));
        }
        for (int i = 0; i < 2; ++i) {
            b->spawn([](std::shared_ptr<Notifier> n, std::shared_ptr<std::atomic<bool>> stop) -> Task<void> {
                for (std::uint32_t k = 0; !stop->load(); ++k) {
                    if (k % 7 == 0) {
                        n->notify_all();
                    } else {
                        n->notify_one();
                    }
                    co_await yield_now();
                }
            }(n, b_stop));
        }
        std::thread plain([&] {
            for (int k = 0; k < 2000 / kScale; ++k) n->notify_one();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(iter % 3));
        a.reset();
        EXPECT_EQ(live.load(), 0);
        plain.join();
        b_stop->store(true);
        b.reset();
        EXPECT_EQ(n->waiting(), 0u);
    }
}

}  // namespace
}  // namespace ravo::runtime
