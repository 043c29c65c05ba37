// Task runtime: tasks and spawning, worker threads, timers, and teardown
// (cancelling suspended tasks, releasing what they own, joining threads).
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/io_handle.h"
#include "runtime/notifier.h"
#include "runtime/oneshot.h"
#include "runtime/runtime.h"
#include "runtime/task.h"
#include "test_util.h"

namespace ravo::runtime {
namespace {

using namespace std::chrono_literals;

using ravo::testing::eventually;

using ravo::testing::make_runtime;

using ravo::testing::Tracked;

std::string thread_name() {
    char name[32] = {};
    EXPECT_EQ(::pthread_getname_np(::pthread_self(), name, sizeof name), 0);
    return name;
}

pid_t thread_id() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

bool thread_exists(pid_t tid) {
    struct stat st {};
    return ::stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st) == 0;
}

// --- creation and threads -----------------------------------------------

TEST(RuntimeCore, CreateRefusesZeroWorkers) {
    auto created = Runtime::create("drainer", 0);
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().kind, Error::Kind::Config);
    EXPECT_EQ(created.error().message, "runtime needs at least one worker thread");
}

TEST(RuntimeCore, CreateReportsAWorkerCountBeyondAnyAllocationAsOutOfMemory) {
    // Not an exception out of create(): the transport's start() turns this
    // into "failed to start transport: Cannot allocate memory".
    auto created = Runtime::create("tcp", std::numeric_limits<std::size_t>::max());
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error().kind, Error::Kind::Memory);
    EXPECT_EQ(created.error().message, std::strerror(ENOMEM));
}

TEST(RuntimeCore, WorkersCarryTheRuntimeNameAndAreJoinedOnDestruction) {
    auto rt = make_runtime(3, "drainer");
    EXPECT_EQ(rt->num_workers(), 3u);
    EXPECT_EQ(Runtime::current(), nullptr);

    std::mutex mu;
    std::vector<std::string> names;
    std::vector<pid_t> tids;
    std::atomic<int> done{0};
    for (int i = 0; i < 12; ++i) {
        rt->spawn([](std::mutex* mu, std::vector<std::string>* names, std::vector<pid_t>* tids,
                     std::atomic<int>* done, Runtime* own) -> Task<void> {
            EXPECT_EQ(Runtime::current(), own);
            {
                std::lock_guard<std::mutex> lock(*mu);
                names->push_back(thread_name());
                tids->push_back(thread_id());
            }
            done->fetch_add(1);
            co_return;
        }(&mu, &names, &tids, &done, rt.get()));
    }
    ASSERT_TRUE(eventually([&] { return done.load() == 12; }));
    for (const std::string& name : names) EXPECT_EQ(name, "drainer");

    rt.reset();
    // Joined, but the kernel may list a thread for a moment after waking its
    // joiner: wait for each to go rather than read once.
    for (pid_t tid : tids) {
        EXPECT_TRUE(eventually([&] { return !thread_exists(tid); })) << "worker " << tid << " still running";
    }

    auto long_named = make_runtime(1, "a-very-long-thread-name");
    std::atomic<bool> checked{false};
    long_named->spawn([](std::atomic<bool>* checked) -> Task<void> {
        EXPECT_EQ(thread_name(), "a-very-long-thr");  // Linux keeps 15 characters
        checked->store(true);
        co_return;
    }(&checked));
    EXPECT_TRUE(eventually([&] { return checked.load(); }));
}

// Thread ids of this process's threads named `name`.
std::vector<pid_t> threads_named(const std::string& name) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc/self/task");
    if (d == nullptr) return out;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char comm[32] = {};
        FILE* f = std::fopen(("/proc/self/task/" + std::string(e->d_name) + "/comm").c_str(), "r");
        if (f == nullptr) continue;  // the thread has just gone
        const bool got = std::fgets(comm, sizeof comm, f) != nullptr;
        std::fclose(f);
        if (got && std::string(comm) == name + "\n") out.push_back(static_cast<pid_t>(std::stol(e->d_name)));
    }
    ::closedir(d);
    return out;
}

// Tasks on a runtime with more workers than its running limit: every worker
// thread exists, but all the tasks run on one, across wait points, and the
// parked ones leave with the others at destruction.
TEST(RuntimeCore, WorkersBeyondTheRunningLimitStayParkedAndJoinOnDestruction) {
    auto created = Runtime::create("parked", 4, WorkerPolicy::Default, 1);
    ASSERT_TRUE(created.ok());
    std::unique_ptr<Runtime> rt = std::move(created).value();
    EXPECT_EQ(rt->num_workers(), 4u);
    EXPECT_EQ(rt->running_limit(), 1u);
    ASSERT_TRUE(eventually([] { return threads_named("parked").size() == 4; }));
    const std::vector<pid_t> workers = threads_named("parked");

    constexpr int kTasks = 40;
    std::mutex mu;
    std::set<pid_t> ran_on;
    std::atomic<int> done{0};
    for (int i = 0; i < kTasks; ++i) {
        rt->spawn([](std::mutex* mu, std::set<pid_t>* ran_on, std::atomic<int>* done) -> Task<void> {
            for (int step = 0; step < 5; ++step) {
                {
                    std::lock_guard<std::mutex> lock(*mu);
                    ran_on->insert(thread_id());
                }
                co_await sleep_for(std::chrono::milliseconds(step % 2));  // a timer, then none
                co_await yield_now();
            }
            done->fetch_add(1);
        }(&mu, &ran_on, &done));
    }
    ASSERT_TRUE(eventually([&] { return done.load() == kTasks; }));
    EXPECT_EQ(ran_on.size(), 1u);

    rt.reset();
    for (pid_t tid : workers) {
        EXPECT_TRUE(eventually([&] { return !thread_exists(tid); })) << "worker " << tid << " still running";
    }
}

// By default as many workers run as CPUs the creating thread may use; a
// limit above the worker count is the worker count, and one that was asked
// for is kept.
TEST(RuntimeCore, RunningLimitDefaultsToTheCpusTheCreatorMayUse) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(::sched_getaffinity(0, sizeof mask, &mask), 0);
    const std::size_t cpus = static_cast<std::size_t>(CPU_COUNT(&mask));
    EXPECT_EQ(Runtime::create("limit", 64).value()->running_limit(), std::min<std::size_t>(64, cpus));
    EXPECT_EQ(Runtime::create("limit", 2, WorkerPolicy::Default, 5).value()->running_limit(), 2u);
    EXPECT_EQ(Runtime::create("limit", 6, WorkerPolicy::Default, 3).value()->running_limit(), 3u);

    // From a thread confined to one CPU: one running worker.
    std::size_t confined = 0;
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &mask)) {
                CPU_SET(cpu, &one);
                break;
            }
        }
        if (::sched_setaffinity(0, sizeof one, &one) != 0) return;
        confined = Runtime::create("limit", 3).value()->running_limit();
    }).join();
    EXPECT_EQ(confined, 1u);
}

// Drainer runtimes run their workers under SCHED_BATCH so that a woken
// drainer does not preempt the connection thread that pushed; the default
// policy leaves the inherited one alone.
// The scheduling policy seen by two tasks on a new two-worker runtime, or
// -2 for a task that did not report in time (or a runtime not built).
std::array<int, 2> worker_policies(WorkerPolicy policy) {
    std::atomic<int> seen[2] = {-2, -2};
    auto created = Runtime::create("policy", 2, policy);
    if (!created.ok()) return {-2, -2};
    std::unique_ptr<Runtime> rt = std::move(created).value();
    for (int i = 0; i < 2; ++i) {
        rt->spawn([](std::atomic<int>* out) -> Task<void> {
            out->store(::sched_getscheduler(0));
            co_return;
        }(&seen[i]));
    }
    eventually([&] { return seen[0].load() != -2 && seen[1].load() != -2; });
    return {seen[0].load(), seen[1].load()};
}

TEST(RuntimeCore, BatchPolicyRunsWorkersUnderSchedBatch) {
    const int inherited = ::sched_getscheduler(0);
    ASSERT_GE(inherited, 0);
    for (WorkerPolicy policy : {WorkerPolicy::Batch, WorkerPolicy::Default}) {
        const int want = policy == WorkerPolicy::Batch ? SCHED_BATCH : inherited;
        EXPECT_EQ(worker_policies(policy), (std::array<int, 2>{want, want}));
    }
}

// A process that chose an idle or real-time policy keeps it in the drainers:
// the batch policy would demote real-time workers, and leaving SCHED_IDLE
// needs a privilege, whose refusal once wrote a line per worker.
TEST(RuntimeCore, BatchPolicyLeavesAnIdleOrRealTimePolicyAlone) {
    for (int chosen : {SCHED_IDLE, SCHED_FIFO}) {
        std::array<int, 2> seen = {-2, -2};
        bool applied = false;
        std::string err;
        std::thread builder([&] {
            sched_param param{};
            param.sched_priority = chosen == SCHED_FIFO ? 1 : 0;
            // Real time needs a privilege the test may lack; idle never does.
            if (::pthread_setschedparam(::pthread_self(), chosen, &param) != 0) return;
            applied = true;
            ::testing::internal::CaptureStderr();
            seen = worker_policies(WorkerPolicy::Batch);
            err = ::testing::internal::GetCapturedStderr();
        });
        builder.join();
        if (!applied) continue;
        EXPECT_EQ(seen, (std::array<int, 2>{chosen, chosen}));
        EXPECT_EQ(err, "");
    }
}

// --- spawning and tasks -------------------------------------------------

Task<void> count_and_spawn_child(std::atomic<int>* count) {
    count->fetch_add(1);
    Runtime::current()->spawn([](std::atomic<int>* count) -> Task<void> {
        count->fetch_add(1);
        co_return;
    }(count));
    co_return;
}

TEST(RuntimeCore, SpawnFromPlainThreadsAndFromTasks) {
    auto rt = make_runtime(2);
    std::atomic<int> count{0};
    std::vector<std::thread> spawners;
    for (int t = 0; t < 4; ++t) {
        spawners.emplace_back([&] {
            for (int i = 0; i < 200; ++i) rt->spawn(count_and_spawn_child(&count));
        });
    }
    for (std::thread& s : spawners) s.join();
    EXPECT_TRUE(eventually([&] { return count.load() == 1600; }));
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
    rt->spawn(Task<void>{});  // an empty task is ignored
    EXPECT_EQ(rt->live_tasks(), 0u);
}

Task<int> leaf(int v) { co_return v; }

Task<std::unique_ptr<int>> boxed(int v) { co_return std::make_unique<int>(v); }

Task<long> sum_many(int n) {
    long sum = 0;
    // Each await completes synchronously; symmetric transfer keeps the
    // stack flat however many there are.
    for (int i = 0; i < n; ++i) sum += co_await leaf(i);
    std::unique_ptr<int> box = co_await boxed(7);
    co_return sum + *box;
}

Task<int> thrower() {
    throw std::runtime_error("boom");
    co_return 0;
}

TEST(RuntimeCore, AwaitedTasksPassValuesAndExceptions) {
    auto rt = make_runtime(1);
    std::atomic<long> result{-1};
    std::atomic<bool> caught{false};
    rt->spawn([](std::atomic<long>* result, std::atomic<bool>* caught) -> Task<void> {
        result->store(co_await sum_many(200000));
        try {
            (void)co_await thrower();
        } catch (const std::runtime_error& e) {
            caught->store(std::string(e.what()) == "boom");
        }
    }(&result, &caught));
    ASSERT_TRUE(eventually([&] { return result.load() != -1 && caught.load(); }));
    EXPECT_EQ(result.load(), 200000L * 199999L / 2 + 7);
}

TEST(RuntimeCore, ExceptionEscapingADetachedTaskEndsOnlyThatTask) {
    auto rt = make_runtime(1);
    std::atomic<int> live{0};
    rt->spawn([](std::atomic<int>* live) -> Task<void> {
        Tracked tracked(*live);
        (void)co_await thrower();
    }(&live));
    std::atomic<bool> later{false};
    rt->spawn([](std::atomic<bool>* later) -> Task<void> {
        later->store(true);
        co_return;
    }(&later));
    EXPECT_TRUE(eventually([&] { return later.load() && rt->live_tasks() == 0; }));
    EXPECT_EQ(live.load(), 0);
}

// A task suspends on worker A and, with A kept busy, resumes on worker B.
TEST(RuntimeCore, TaskResumesOnAnotherWorker) {
    auto rt = make_runtime(2);
    auto n = std::make_shared<Notifier>();
    std::atomic<pid_t> before{0};
    std::atomic<pid_t> after{0};
    std::atomic<bool> hold_b{true};
    std::atomic<bool> hold_a{true};
    std::atomic<pid_t> blocker_b{0};
    std::atomic<pid_t> blocker_a{0};

    auto blocker = [](std::atomic<pid_t>* where, std::atomic<bool>* hold) -> Task<void> {
        where->store(thread_id());
        while (hold->load()) std::this_thread::sleep_for(1ms);
        co_return;
    };

    rt->spawn([](std::shared_ptr<Notifier> n, std::atomic<pid_t>* before, std::atomic<pid_t>* after,
                 std::atomic<pid_t>* blocker_b, std::atomic<bool>* hold_b, decltype(blocker) make_blocker)
                  -> Task<void> {
        before->store(thread_id());
        // While this task occupies its worker, the blocker can only start
        // on the other one.
        Runtime::current()->spawn(make_blocker(blocker_b, hold_b));
        while (blocker_b->load() == 0) std::this_thread::sleep_for(1ms);
        Ticket t = n->ticket();
        co_await t;
        after->store(thread_id());
    }(n, &before, &after, &blocker_b, &hold_b, blocker));

    ASSERT_TRUE(eventually([&] { return n->waiting() == 1; }));
    // Worker B is held; the next blocker must land on worker A.
    rt->spawn(blocker(&blocker_a, &hold_a));
    ASSERT_TRUE(eventually([&] { return blocker_a.load() != 0; }));
    EXPECT_EQ(blocker_a.load(), before.load());
    EXPECT_NE(blocker_b.load(), before.load());
    hold_b.store(false);  // free B; A stays held
    n->notify_one();
    ASSERT_TRUE(eventually([&] { return after.load() != 0; }));
    EXPECT_NE(after.load(), before.load());
    EXPECT_EQ(after.load(), blocker_b.load());
    hold_a.store(false);
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

// --- timers ----------------------------------------------------------------

TEST(RuntimeCore, SleepLastsAtLeastItsDurationAndTimersFireInDeadlineOrder) {
    auto rt = make_runtime(1);
    std::mutex mu;
    std::vector<int> order;
    std::atomic<int> done{0};
    // Spawned from one task, so all four start back to back.
    rt->spawn([](std::mutex* mu, std::vector<int>* order, std::atomic<int>* done) -> Task<void> {
        for (int ms : {0, 150, 50, 100}) {
            Runtime::current()->spawn([](int ms, std::mutex* mu, std::vector<int>* order,
                                         std::atomic<int>* done) -> Task<void> {
                const auto start = std::chrono::steady_clock::now();
                co_await sleep_for(std::chrono::milliseconds(ms));
                EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
                {
                    std::lock_guard<std::mutex> lock(*mu);
                    order->push_back(ms);
                }
                done->fetch_add(1);
            }(ms, mu, order, done));
        }
        co_return;
    }(&mu, &order, &done));
    ASSERT_TRUE(eventually([&] { return done.load() == 4; }));
    EXPECT_EQ(order, (std::vector<int>{0, 50, 100, 150}));
}

// A worker asleep on a far deadline must notice a nearer one added later.
TEST(RuntimeCore, EarlierTimerWakesAWorkerSleepingOnALaterOne) {
    auto rt = make_runtime(2);
    std::atomic<bool> long_done{false};
    std::atomic<bool> short_done{false};
    rt->spawn([](std::atomic<bool>* done) -> Task<void> {
        co_await sleep_for(std::chrono::hours(1));
        done->store(true);
    }(&long_done));
    std::this_thread::sleep_for(20ms);  // let both workers go to sleep
    rt->spawn([](std::atomic<bool>* done) -> Task<void> {
        co_await sleep_for(10ms);
        done->store(true);
    }(&short_done));
    EXPECT_TRUE(eventually([&] { return short_done.load(); }));
    EXPECT_FALSE(long_done.load());
    EXPECT_EQ(rt->live_tasks(), 1u);
    rt.reset();  // cancels the hour-long sleep
}

TEST(RuntimeCore, YieldLetsOtherTasksRun) {
    auto rt = make_runtime(1);
    std::atomic<int> turns{0};
    std::atomic<bool> bad{false};
    // Two tasks on one worker alternate strictly through yield_now. They are
    // spawned from a task, so both are queued before either runs.
    rt->spawn([](std::atomic<int>* turns, std::atomic<bool>* bad) -> Task<void> {
        for (int id = 0; id < 2; ++id) {
            Runtime::current()->spawn([](int id, std::atomic<int>* turns, std::atomic<bool>* bad) -> Task<void> {
                for (int i = 0; i < 100; ++i) {
                    if (turns->fetch_add(1) % 2 != id) bad->store(true);
                    co_await yield_now();
                }
            }(id, turns, bad));
        }
        co_return;
    }(&turns, &bad));
    EXPECT_TRUE(eventually([&] { return turns.load() == 200 && rt->live_tasks() == 0; }));
    EXPECT_FALSE(bad.load());
}

// --- teardown --------------------------------------------------------------

Task<void> child_waiting_on(std::shared_ptr<Notifier> n, std::atomic<int>* live) {
    Tracked tracked(*live);
    Ticket t = n->ticket();
    co_await t;
    ADD_FAILURE() << "resumed after cancellation";
}

Task<void> parent_of_waiting_child(std::shared_ptr<Notifier> n, std::atomic<int>* live) {
    Tracked tracked(*live);
    co_await child_waiting_on(n, live);
    ADD_FAILURE() << "resumed after cancellation";
}

TEST(RuntimeCore, DestructionCancelsSuspendedTasksAndReleasesWhatTheyOwn) {
    auto rt = make_runtime(2);
    std::atomic<int> live{0};
    auto n = std::make_shared<Notifier>();
    auto [tx, rx] = make_oneshot();

    // Suspended on a notifier, two levels deep.
    rt->spawn(parent_of_waiting_child(n, &live));

    // Suspended on a timer.
    rt->spawn([](std::atomic<int>* live) -> Task<void> {
        Tracked tracked(*live);
        co_await sleep_for(std::chrono::hours(1));
        ADD_FAILURE() << "resumed after cancellation";
    }(&live));

    // Suspended on a one-shot signal.
    rt->spawn([](OneshotReceiver rx, std::atomic<int>* live) -> Task<void> {
        Tracked tracked(*live);
        (void)co_await rx;
        ADD_FAILURE() << "resumed after cancellation";
    }(std::move(rx), &live));

    // Suspended on descriptor readiness; owns one end of a socket pair.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    auto adopted = IoHandle::adopt(*rt, fds[0]);
    ASSERT_TRUE(adopted.ok());
    rt->spawn([](IoHandle io, std::atomic<int>* live) -> Task<void> {
        Tracked tracked(*live);
        char byte = 0;
        for (;;) {
            IoResult r = io.try_read(&byte, 1);
            if (!r.would_block()) break;
            co_await io.readable();
        }
        ADD_FAILURE() << "resumed after cancellation";
    }(std::move(adopted).value(), &live));

    ASSERT_TRUE(eventually([&] { return n->waiting() == 1 && live.load() == 5 && rt->live_tasks() == 4; }));
    std::this_thread::sleep_for(10ms);  // let the others reach their wait points
    rt.reset();
    EXPECT_EQ(live.load(), 0);
    EXPECT_EQ(n->waiting(), 0u);
    // The reader owned its end: it is closed now.
    const char byte = 1;
    EXPECT_EQ(::send(fds[1], &byte, 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(::close(fds[1]), 0);
    tx.send();  // the receiver's task is gone: harmless
}

// A destructor that runs during teardown spawns on the dying runtime: the
// new task is destroyed without running.
struct SpawnOnDestruction {
    Runtime* runtime;
    std::atomic<int>* live;
    std::atomic<bool>* ran;
    bool armed = true;  // only the copy inside the frame spawns

    SpawnOnDestruction(Runtime* r, std::atomic<int>* l, std::atomic<bool>* f) : runtime(r), live(l), ran(f) {}
    SpawnOnDestruction(SpawnOnDestruction&& other) noexcept
        : runtime(other.runtime), live(other.live), ran(other.ran), armed(std::exchange(other.armed, false)) {}
    ~SpawnOnDestruction() {
        if (!armed) return;
        runtime->spawn([](std::atomic<int>* live, std::atomic<bool>* ran) -> Task<void> {
            Tracked tracked(*live);
            ran->store(true);
            co_return;
        }(live, ran));
    }
};

TEST(RuntimeCore, SpawnDuringTeardownIsDestroyedWithoutRunning) {
    auto rt = make_runtime(1);
    auto n = std::make_shared<Notifier>();
    std::atomic<int> live{0};
    std::atomic<bool> ran{false};
    rt->spawn([](std::shared_ptr<Notifier> n, [[maybe_unused]] SpawnOnDestruction guard) -> Task<void> {
        Ticket t = n->ticket();
        co_await t;
    }(n, SpawnOnDestruction{rt.get(), &live, &ran}));
    ASSERT_TRUE(eventually([&] { return n->waiting() == 1; }));
    rt.reset();
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(live.load(), 0);
}

// Many tasks mid-flight (running, queued, waiting, sleeping) at the moment
// of destruction, repeatedly: every frame is destroyed exactly once.
TEST(RuntimeCore, RepeatedTeardownUnderLoadDestroysEveryFrameOnce) {
    for (int iter = 0; iter < 20; ++iter) {
        auto rt = make_runtime(3);
        auto n = std::make_shared<Notifier>();
        std::atomic<int> live{0};
        for (int i = 0; i < 30; ++i) {
            rt->spawn([](std::shared_ptr<Notifier> n, std::atomic<int>* live, int i) -> Task<void> {
                Tracked tracked(*live);
                for (int k = 0;; ++k) {
                    switch ((i + k) % 3) {
                        case 0: {
                            Ticket t = n->ticket();
                            n->notify_one();
                            co_await t;
                            break;
                        }
                        case 1:
                            co_await yield_now();
                            break;
                        default:
                            co_await sleep_for(std::chrono::milliseconds(k % 2));
                            break;
                    }
                }
            }(n, &live, i));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(iter % 4));
        rt.reset();
        EXPECT_EQ(live.load(), 0);
        EXPECT_EQ(n->waiting(), 0u);
    }
}

}  // namespace
}  // namespace ravo::runtime
