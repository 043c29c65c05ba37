// Drainer pool, sample senders, drain rounds and batch insertion.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "ingress/drainer.h"
#include "ingress/drainer_pool.h"
#include "runtime/runtime.h"
#include "test_util.h"

namespace ravo {
namespace {

using namespace std::chrono_literals;

std::shared_ptr<Store> make_store(std::vector<ArraySpec> specs, std::uint64_t batch, std::uint64_t n,
                                  std::shared_ptr<Metrics> metrics, std::unique_ptr<Sampler> sampler = nullptr) {
    if (!sampler) sampler = FifoSampler::with_metrics(batch, batch * n, metrics).value();
    auto s = Store::create(std::move(specs), batch, n, std::move(sampler), std::make_unique<FifoRemover>());
    EXPECT_TRUE(s.ok());
    return std::shared_ptr<Store>(std::move(s).value());
}

using ravo::testing::eventually;

// The ids of this process's threads.
std::set<long> thread_ids() {
    std::set<long> ids;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return ids;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ids.insert(std::strtol(e->d_name, nullptr, 10));
    }
    closedir(d);
    return ids;
}

TransportQueueItem item_with(SampleSender& s, std::size_t len, std::uint64_t value) {
    SampleBuffer b = s.take_or_allocate(len);
    std::memset(b.data(), 0, len);
    std::memcpy(b.data(), &value, std::min<std::size_t>(len, 8));
    return s.make_item(std::move(b));
}

std::uint64_t value_at(const ConsumerView& v, std::size_t k) {
    std::uint64_t x;
    std::memcpy(&x, v.spans[0].data + k * 8, 8);
    return x;
}

TEST(DrainerPool, RefusesZeroCounts) {
    auto m = Metrics::create(2);
    auto store = make_store({ArraySpec{{}, 8}}, 1, 4, m);
    EXPECT_EQ(DrainerPool::create(store, 0, 8, m).error().message, "num_drainers must be > 0");
    EXPECT_EQ(DrainerPool::create(store, 2, 0, m).error().message, "producer_queue_size must be > 0");
}

TEST(DrainerPool, ThreadsRefusedByTheSystemFailTheBuildAndLeaveNoThread) {
    // Only root can become a user with no other processes, whose thread
    // limit is then exact.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as a user of its own";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes: 0 passed, 1-5 which check failed.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        const rlimit few{4, 4};
        if (::setrlimit(RLIMIT_NPROC, &few) != 0) ::_exit(1);
        auto m = Metrics::create(64);
        auto sampler = FifoSampler::with_metrics(1, 2, m).value();
        auto store = Store::create({ArraySpec{{}, 8}}, 1, 2, std::move(sampler), std::make_unique<FifoRemover>());
        if (!store.ok()) ::_exit(2);
        auto pool = DrainerPool::create(std::shared_ptr<Store>(std::move(store).value()), 64, 8, m);
        if (pool.ok()) ::_exit(3);
        if (pool.error().message != "failed to build drainer runtime: Resource temporarily unavailable") ::_exit(4);
        // By name: a sanitizer may have started a helper thread of its own.
        for (long id : thread_ids()) {
            char comm[32] = {};
            const std::string path = "/proc/self/task/" + std::to_string(id) + "/comm";
            if (FILE* f = std::fopen(path.c_str(), "r")) {
                const bool named = std::fgets(comm, sizeof comm, f) != nullptr && std::strncmp(comm, "drainer", 7) == 0;
                std::fclose(f);
                if (named) ::_exit(5);
            }
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: could not drop privileges, 2: store, 3: built anyway, "
                                         "4: wrong text, 5: threads left behind";
}

TEST(DrainerPool, RegistersRoundRobinAndCountsConnections) {
    auto m = Metrics::create(3);
    auto store = make_store({ArraySpec{{}, 8}}, 1, 64, m);
    auto pool = DrainerPool::create(store, 3, 8, m).value();
    std::vector<SampleSender> senders;
    for (int i = 0; i < 7; ++i) senders.push_back(pool->new_sender());
    EXPECT_EQ(m->active_connections.load(), 7u);
    // Sender i pushes i + 1 samples; drainer d counts what its queues held.
    for (int i = 0; i < 7; ++i) {
        for (int k = 0; k <= i; ++k) senders[i].push_blocking(item_with(senders[i], 8, 1));
    }
    ASSERT_TRUE(eventually([&] {
        return m->drainer(0).samples_inserted_total.load() == 1 + 4 + 7 &&
               m->drainer(1).samples_inserted_total.load() == 2 + 5 &&
               m->drainer(2).samples_inserted_total.load() == 3 + 6;
    }));
    senders.pop_back();
    EXPECT_EQ(m->active_connections.load(), 6u);
    pool->shutdown();
}

TEST(SampleSender, FullQueueCountsEveryFailedAttempt) {
    auto m = Metrics::create(0);
    auto queue = std::make_shared<ProducerQueue>(1);
    auto space = std::make_shared<runtime::Notifier>();
    auto drainer = std::make_shared<runtime::Notifier>();
    auto pool = std::make_shared<BufferPool>(3);
    auto closed = std::make_shared<std::atomic<bool>>(false);
    {
        SampleSender s(queue, space, drainer, m, pool, closed);
        s.push_blocking(item_with(s, 8, 1));
        EXPECT_EQ(m->push_blocked_count.value.load(), 0u);
        auto second = std::async(std::launch::async, [&] { s.push_blocking(item_with(s, 8, 2)); });
        ASSERT_TRUE(eventually([&] { return space->waiting() == 1; }));
        EXPECT_EQ(m->push_blocked_count.value.load(), 1u);
        space->notify_one();  // a wake-up that still finds the queue full
        ASSERT_TRUE(eventually([&] { return m->push_blocked_count.value.load() == 2 && space->waiting() == 1; }));
        auto first = queue->try_pop();
        ASSERT_TRUE(first);
        space->notify_one();
        ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
        EXPECT_EQ(m->push_blocked_count.value.load(), 2u);
        EXPECT_EQ(queue->size(), 1u);
        // Destroying the popped item recycles its buffer into the pool.
        first.reset();
        EXPECT_EQ(pool->size(), 1u);
        EXPECT_FALSE(closed->load());
    }
    EXPECT_TRUE(closed->load());
}

// A buffer of `len` bytes whose first word is `value`.
SampleBuffer buffer_with(SampleSender& s, std::size_t len, std::uint64_t value) {
    SampleBuffer b = s.take_or_allocate(len);
    std::memset(b.data(), 0, len);
    std::memcpy(b.data(), &value, std::min<std::size_t>(len, 8));
    return b;
}

// The direct store keeps a sender's order: while an item of the sender waits
// to be stored it stores nothing, even with room in the ring; it stores up
// to the room and leaves the rest to be queued; and it counts in the
// record it was given, as the drainer would.
TEST(SampleSender, StoresDirectlyOnlyWhileNothingOfItsOwnWaitsToBeStored) {
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}}, 2, 2, m);  // four slots
    auto queue = std::make_shared<ProducerQueue>(4);        // registered with no drainer: the test drains it
    auto pool = std::make_shared<BufferPool>(9);
    auto flag = std::make_shared<std::atomic<bool>>(false);
    SampleSender s(queue, std::make_shared<runtime::Notifier>(), std::make_shared<runtime::Notifier>(), m, pool,
                   std::make_shared<std::atomic<bool>>(false),
                   DirectStore{store, std::make_shared<const std::vector<std::size_t>>(std::vector<std::size_t>{8}),
                               &m->drainer(0), flag});

    std::vector<SampleBuffer> bufs;
    bufs.push_back(buffer_with(s, 8, 0));
    ASSERT_EQ(s.try_store(bufs), 1u);
    EXPECT_FALSE(bufs[0]);  // handed to the pool
    EXPECT_EQ(m->drainer(0).samples_inserted_total.load(), 1u);

    // One queued item blocks the direct path although three slots are free.
    TransportQueueItem queued = item_with(s, 8, 1);
    ASSERT_TRUE(s.try_push(queued));
    bufs.clear();
    bufs.push_back(buffer_with(s, 8, 2));
    EXPECT_EQ(s.try_store(bufs), 0u);
    EXPECT_TRUE(bufs[0]);  // still the caller's
    {
        // The drainer's part: store the item, then let it go.
        auto item = queue->try_pop();
        ASSERT_TRUE(item);
        const ByteSpan one{item->buffer().data(), 8};
        ASSERT_EQ(store->try_insert(std::span<const ByteSpan>(&one, 1)), InsertOutcome::Inserted);
        EXPECT_EQ(s.try_store(bufs), 0u);  // stored, but the item is still alive: not yet
    }
    // Three samples for two free slots: the first two go in, the third is left.
    bufs.push_back(buffer_with(s, 8, 3));
    bufs.push_back(buffer_with(s, 8, 4));
    ASSERT_EQ(s.try_store(bufs), 2u);
    EXPECT_FALSE(bufs[0]);
    EXPECT_FALSE(bufs[1]);
    EXPECT_TRUE(bufs[2]);
    EXPECT_EQ(m->drainer(0).samples_inserted_total.load(), 3u);

    auto b0 = store->sample();
    auto b1 = store->sample();  // gives batch 0 back: two slots free again
    ASSERT_TRUE(b0 && b1);
    EXPECT_EQ(value_at(*b1, 0), 2u);
    EXPECT_EQ(value_at(*b1, 1), 3u);
    std::vector<SampleBuffer> rest;
    rest.push_back(std::move(bufs[2]));
    // Shut down pools and stores take nothing directly.
    flag->store(true);
    EXPECT_EQ(s.try_store(rest), 0u);
    flag->store(false);
    ASSERT_EQ(s.try_store(rest), 1u);
    EXPECT_EQ(store->queue_size(), 1u);
    store->shutdown();
    rest.clear();
    rest.push_back(buffer_with(s, 8, 5));
    EXPECT_EQ(s.try_store(rest), 0u);
}

// A sender made without a store only queues.
// A pool destroyed without shutdown() cancels a drainer that held a round
// waiting for room; the items of that round go with it (and count as gone).
// A sender that outlives the pool must not then store its next sample
// directly, after an earlier one that was dropped.
TEST(SampleSender, OutlivingItsPoolStoresNothingDirectlyAfterItsRoundWasDropped) {
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}}, 1, 2, m);
    auto pool = DrainerPool::create(store, 1, 4, m).value();
    SampleSender s = pool->new_sender();
    auto buf = [&](std::uint64_t v) {
        SampleBuffer b = s.take_or_allocate(8);
        std::memcpy(b.data(), &v, 8);
        return b;
    };
    std::vector<SampleBuffer> bs;
    bs.push_back(buf(0));
    bs.push_back(buf(1));
    ASSERT_EQ(s.try_store(bs), 2u);  // the ring is full
    TransportQueueItem it = s.make_item(buf(2));
    ASSERT_TRUE(s.try_push(it));
    // The drainer takes sample 2 into a round and waits for room.
    ASSERT_TRUE(eventually([&] { return s.queue().size() == 0 && store->space_notify().waiting() == 1; }));
    pool.reset();  // no shutdown(): the drainer is cancelled, sample 2 dropped
    ASSERT_TRUE(store->sample());
    ASSERT_TRUE(store->sample());  // gives back slot 0: there is room
    bs.clear();
    bs.push_back(buf(3));
    EXPECT_EQ(s.try_store(bs), 0u);
}

TEST(SampleSender, WithoutAStoreNothingIsStoredDirectly) {
    auto m = Metrics::create(0);
    SampleSender s(std::make_shared<ProducerQueue>(1), std::make_shared<runtime::Notifier>(),
                   std::make_shared<runtime::Notifier>(), m, std::make_shared<BufferPool>(3),
                   std::make_shared<std::atomic<bool>>(false));
    std::vector<SampleBuffer> bufs;
    bufs.push_back(buffer_with(s, 8, 1));
    EXPECT_EQ(s.try_store(bufs), 0u);
    EXPECT_TRUE(bufs[0]);
}

// An item counts as waiting from its making until its destruction, once,
// however it is moved; the last one gone clears the count.
TEST(BufferPool, CountsItemsUntilTheyAreGone) {
    auto pool = std::make_shared<BufferPool>(3);
    EXPECT_TRUE(pool->all_stored());
    std::optional<TransportQueueItem> a(TransportQueueItem(SampleBuffer::zeroed(8), pool));
    TransportQueueItem b(SampleBuffer::zeroed(8), pool);
    EXPECT_FALSE(pool->all_stored());
    TransportQueueItem moved(std::move(b));  // the moved-from item counts nothing
    moved = std::move(*a);                   // the overwritten one is gone: one left
    a.reset();
    EXPECT_FALSE(pool->all_stored());
    { TransportQueueItem last = std::move(moved); }
    EXPECT_TRUE(pool->all_stored());
    EXPECT_EQ(pool->size(), 2u);  // both buffers back
}

// A Sampler that records commit_batch calls and otherwise does nothing.
class RecordingSampler final : public Sampler {
public:
    std::vector<std::pair<std::uint64_t, std::uint64_t>>* calls;
    explicit RecordingSampler(std::vector<std::pair<std::uint64_t, std::uint64_t>>* c) : calls(c) {}
    void commit(std::uint64_t p) override { calls->emplace_back(p, 1); }
    void commit_batch(std::uint64_t p, std::uint64_t n) override { calls->emplace_back(p, n); }
    std::optional<Selection> select(std::uint64_t) override { return std::nullopt; }
    std::optional<Selection> try_select(std::uint64_t) override { return std::nullopt; }
    std::uint64_t queue_size() const override { return 0; }
    void shutdown() override {}
    SelectWait select_for(std::uint64_t, std::chrono::nanoseconds, Selection&) override { return SelectWait::ShutDown; }
};

// Runs a task on a one-thread runtime and waits (bounded) for it to finish.
void run_on_runtime(runtime::Task<void> task) {
    auto rt = runtime::Runtime::create("test", 1).value();
    rt->spawn(std::move(task));
    ASSERT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

TEST(InsertBatch, NeverCrossesABatchBoundary) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}, ArraySpec{{3}, 4}}, 4, 3, m,
                            std::make_unique<RecordingSampler>(&calls));
    store->write_cursor().store(6);
    store->remover().remove(4);
    // Samples of two leaves (8 and 12 bytes), each filled with its own byte.
    std::vector<std::vector<std::uint8_t>> bufs;
    std::vector<ByteSpan> samples;
    for (std::uint8_t i = 0; i < 5; ++i) bufs.emplace_back(20, static_cast<std::uint8_t>(i + 1));
    for (auto& b : bufs) {
        b[8] = static_cast<std::uint8_t>(0xA0 + b[0]);  // first byte of leaf 1
        samples.push_back(ByteSpan{b.data(), b.size()});
    }
    std::vector<std::size_t> leaf_sizes{8, 12};
    DrainerMetrics& rec = m->drainer(0);
    run_on_runtime(insert_batch(*store, samples, leaf_sizes, &rec));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (std::pair<std::uint64_t, std::uint64_t>{6, 2}));
    EXPECT_EQ(calls[1], (std::pair<std::uint64_t, std::uint64_t>{8, 3}));
    EXPECT_EQ(rec.samples_inserted_total.load(), 5u);
    EXPECT_EQ(store->write_cursor().load(), 11u);
    const PytreeRingBuf& ring = store->ring();
    for (std::uint64_t i = 0; i < 5; ++i) {
        const std::uint64_t slot = 6 + i;
        EXPECT_EQ(ring.region(0)[slot * 8 + 7], i + 1);
        EXPECT_EQ(ring.region(1)[slot * 12], 0xA0 + i + 1);
        EXPECT_EQ(ring.region(1)[slot * 12 + 11], i + 1);
    }
}

// A remover whose read_pos, when armed, first runs a hook on the consumer's
// thread: the moment between the give-back's read of the read position and
// its release of the batch.
struct HookedRemover final : Remover {
    FifoRemover inner;
    std::thread::id consumer;
    std::atomic<bool> armed{false};
    std::function<void()> hook;
    void remove(std::uint64_t n) override { inner.remove(n); }
    std::uint64_t read_pos() const override {
        if (std::this_thread::get_id() == consumer && const_cast<HookedRemover*>(this)->armed.exchange(false)) hook();
        return inner.read_pos();
    }
};

// B = 2, two batches, 8-byte samples 0, 1, 2 inserted and batch 0 handed
// out: the ring holds 3 of 4. The remover's hook runs on this thread.
std::shared_ptr<Store> three_of_four_with_batch_zero_out(HookedRemover*& remover) {
    auto sampler = FifoSampler::with_metrics(2, 4, nullptr).value();
    auto hooked = std::make_unique<HookedRemover>();
    remover = hooked.get();
    remover->consumer = std::this_thread::get_id();
    std::shared_ptr<Store> store(
        Store::create({ArraySpec{{}, 8}}, 2, 2, std::move(sampler), std::move(hooked)).value());
    for (std::uint64_t v = 0; v < 3; ++v) {
        ByteSpan span[] = {{reinterpret_cast<const std::uint8_t*>(&v), 8}};
        EXPECT_EQ(store->insert_sync(span), InsertOutcome::Inserted);
    }
    EXPECT_TRUE(store->sample());  // batch 0 out
    return store;
}

TEST(InsertBatch, GiveBackWakesADrainerThatFilledTheRingDuringIt) {
    // B = 2, two batches. Batch 0 is out, the ring holds 3 of 4. While the
    // consumer is inside the give-back of batch 0, a drainer inserts 2
    // samples: one fits, the ring is then full and the drainer waits. The
    // give-back must see that cursor and wake it; a give-back that read the
    // cursor before this moment would not, and the drainer would wait for
    // ever while the ring has room.
    HookedRemover* remover = nullptr;
    const std::shared_ptr<Store> store = three_of_four_with_batch_zero_out(remover);

    auto rt = runtime::Runtime::create("drainer", 1).value();
    std::vector<std::uint64_t> values{3, 4};
    std::vector<ByteSpan> samples{{reinterpret_cast<const std::uint8_t*>(&values[0]), 8},
                                  {reinterpret_cast<const std::uint8_t*>(&values[1]), 8}};
    std::vector<std::size_t> leaf_sizes{8};
    DrainerMetrics rec;
    remover->hook = [&] {
        rt->spawn(insert_batch(*store, samples, leaf_sizes, &rec));
        EXPECT_TRUE(eventually([&] { return store->space_notify().waiting() == 1; }));
        EXPECT_EQ(rec.samples_inserted_total.load(), 1u);
    };
    remover->armed = true;
    auto batch1 = store->sample();  // gives back batch 0 (the hook runs inside), hands out batch 1
    ASSERT_TRUE(batch1);
    EXPECT_EQ(value_at(*batch1, 0), 2u);
    EXPECT_EQ(value_at(*batch1, 1), 3u);
    EXPECT_TRUE(eventually([&] { return rec.samples_inserted_total.load() == 2; }));
    // The woken drainer's sample went into the freed slot; one more
    // completes its batch.
    const std::uint64_t five = 5;
    ByteSpan last[] = {{reinterpret_cast<const std::uint8_t*>(&five), 8}};
    ASSERT_EQ(store->insert_sync(last), InsertOutcome::Inserted);
    auto batch2 = store->sample();
    ASSERT_TRUE(batch2);
    EXPECT_EQ(value_at(*batch2, 0), 4u);
    EXPECT_EQ(value_at(*batch2, 1), 5u);
    store->shutdown();
    rt.reset();
}

struct Producer {
    std::shared_ptr<ProducerQueue> queue = std::make_shared<ProducerQueue>(8);
    std::shared_ptr<runtime::Notifier> space = std::make_shared<runtime::Notifier>();
    std::shared_ptr<BufferPool> pool = std::make_shared<BufferPool>(17);
    std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);
    TransportHandle handle() { return TransportHandle{queue, space, closed}; }
    void put(std::uint64_t v) {
        SampleBuffer b = SampleBuffer::zeroed(8);
        std::memcpy(b.data(), &v, 8);
        ASSERT_FALSE(queue->try_push(TransportQueueItem(std::move(b), pool)));
    }
};

// Producers whose queues are registered with one drainer: n queues, the
// first holding 100, 101, the last 5 items from `last_base` on.
struct Registered {
    std::shared_ptr<Metrics> m = Metrics::create(1);
    std::shared_ptr<Store> store = make_store({ArraySpec{{}, 8}}, 1, 64, m);
    std::vector<Producer> producers;
    std::vector<TransportHandle> handles;
    Registered(std::size_t n, std::uint64_t last_base) : producers(n) {
        for (auto& p : producers) handles.push_back(p.handle());
        for (int i = 0; i < 2; ++i) producers[0].put(100 + i);
        for (std::uint64_t i = 0; i < 5; ++i) producers[n - 1].put(last_base + i);
    }
};

TEST(DrainRound, TakesSnapshotDepthsWakesProducersAndRotates) {
    Registered reg(3, 300);
    auto& [m, store, producers, handles] = reg;
    std::vector<runtime::Ticket> tickets;
    for (auto& p : producers) tickets.push_back(p.space->ticket());
    std::vector<std::size_t> leaf_sizes{8};
    RoundScratch scratch;
    DrainerMetrics& rec = m->drainer(0);
    bool took = false;
    auto round = [&](std::uint64_t r) -> runtime::Task<void> {
        took = co_await drain_round(handles, *store, leaf_sizes, rec, r, scratch);
    };
    run_on_runtime(round(0));
    EXPECT_TRUE(took);
    EXPECT_EQ(rec.queue_depth_sum.load(), 7u);
    EXPECT_EQ(rec.queue_depth_max.load(), 5u);
    EXPECT_EQ(rec.samples_inserted_total.load(), 7u);
    EXPECT_TRUE(tickets[0].wait_blocking_for(5s));
    EXPECT_FALSE(tickets[1].wait_blocking_for(10ms));
    EXPECT_TRUE(tickets[2].wait_blocking_for(5s));
    // Items of one queue keep their order; queues follow in round order.
    std::vector<std::uint64_t> got;
    for (int i = 0; i < 7; ++i) got.push_back(value_at(*store->sample(), 0));
    EXPECT_EQ(got, (std::vector<std::uint64_t>{100, 101, 300, 301, 302, 303, 304}));
    EXPECT_EQ(producers[0].pool->size(), 2u);  // buffers went back to their pools
    EXPECT_EQ(producers[2].pool->size(), 5u);

    // Rounds 1, 2 and 3 start at positions 1, 2 and 0.
    for (std::uint64_t r = 1; r <= 3; ++r) {
        for (std::uint64_t q = 0; q < 3; ++q) producers[q].put(q);
        run_on_runtime(round(r));
        EXPECT_EQ(value_at(*store->sample(), 0), r % 3) << "round " << r;
        store->sample();
        store->sample();
    }
    run_on_runtime(round(4));
    EXPECT_FALSE(took);
    EXPECT_EQ(rec.queue_depth_sum.load(), 0u);
    EXPECT_EQ(rec.queue_depth_max.load(), 0u);

    // No registrations at all: an empty round that still clears the depths.
    rec.queue_depth_sum.store(9);
    rec.queue_depth_max.store(9);
    handles.clear();
    run_on_runtime(round(5));
    EXPECT_FALSE(took);
    EXPECT_EQ(rec.queue_depth_sum.load(), 0u);
    EXPECT_EQ(rec.queue_depth_max.load(), 0u);
}

// Appends the 8-byte values of a collected round and empties it (the
// buffers go back to their pools).
void take_values(RoundScratch& scratch, std::vector<std::uint64_t>& out) {
    for (const ByteSpan& b : scratch.samples) {
        std::uint64_t v;
        std::memcpy(&v, b.data, 8);
        out.push_back(v);
    }
    scratch.samples.clear();
    scratch.items.clear();
}

TEST(DrainRound, ARoundShortOfRoomLeavesTheRestQueuedInOrder) {
    // Out of memory the drainer cannot grow its round's lists; a round that
    // took items beyond their room would have to allocate or drop them.
    Registered reg(2, 200);
    auto& [m, store, producers, handles] = reg;
    DrainerMetrics& rec = m->drainer(0);
    RoundScratch scratch;
    ASSERT_TRUE(scratch.reserve(3));
    const std::size_t room = scratch.room();
    ASSERT_LT(room, 7u);  // the library may round up, never to the full depth here
    ASSERT_TRUE(collect_round(handles, rec, 0, scratch));
    EXPECT_TRUE(scratch.limited);
    EXPECT_EQ(scratch.items.size(), room);
    EXPECT_EQ(scratch.items.capacity(), room);  // nothing grew
    EXPECT_EQ(rec.queue_depth_sum.load(), 7u);  // the gauges still see the whole depth
    EXPECT_EQ(producers[0].queue->size() + producers[1].queue->size(), 7u - room);
    std::vector<std::uint64_t> taken;
    take_values(scratch, taken);

    // With room again, the next round takes what was left, each queue in order.
    ASSERT_TRUE(scratch.make_room(handles));
    ASSERT_TRUE(collect_round(handles, rec, 0, scratch));
    EXPECT_FALSE(scratch.limited);
    take_values(scratch, taken);
    std::vector<std::uint64_t> q0, q1;
    for (std::uint64_t v : taken) (v < 200 ? q0 : q1).push_back(v);
    EXPECT_EQ(q0, (std::vector<std::uint64_t>{100, 101}));
    EXPECT_EQ(q1, (std::vector<std::uint64_t>{200, 201, 202, 203, 204}));
    EXPECT_EQ(producers[0].queue->size() + producers[1].queue->size(), 0u);
}

// A storm of connections grows a drainer's round lists to the storm's full
// depth; kept after the storm, they would pin that peak for good.
TEST(DrainRound, RoomLeftByAConnectionStormIsGivenBackOnceItEnds) {
    std::vector<Producer> storm(400);
    std::vector<TransportHandle> handles;
    for (auto& p : storm) handles.push_back(p.handle());
    RoundScratch scratch;
    ASSERT_TRUE(scratch.make_room(handles));
    ASSERT_GE(scratch.room(), 3200u);

    // While most of the storm is still registered, the room stays.
    handles.resize(300);
    scratch.release_excess(handles);
    EXPECT_GE(scratch.room(), 3200u);

    // Two connections left: back to the kept room, which still covers them.
    handles.resize(2);
    scratch.release_excess(handles);
    EXPECT_EQ(scratch.room(), RoundScratch::kKeptRoom);
    EXPECT_EQ(scratch.items.capacity(), RoundScratch::kKeptRoom);
    EXPECT_EQ(scratch.samples.capacity(), RoundScratch::kKeptRoom);

    // A later round takes the survivors' items as before.
    storm[1].put(11);
    storm[0].put(10);
    DrainerMetrics rec;
    ASSERT_TRUE(scratch.make_room(handles));
    ASSERT_TRUE(collect_round(handles, rec, 0, scratch));
    std::vector<std::uint64_t> taken;
    take_values(scratch, taken);
    EXPECT_EQ(taken, (std::vector<std::uint64_t>{10, 11}));

    // At or below the kept room nothing is reallocated.
    const ByteSpan* before = scratch.samples.data();
    handles.clear();
    scratch.release_excess(handles);
    EXPECT_EQ(scratch.samples.data(), before);
}

// One drainer task, run directly on its own runtime with registrations the
// test makes, so that the test keeps a weak reference to each queue: the
// task's own loop (its wait for room, its dropping of closed registrations,
// its exit) rather than the helpers above that it inlines.
struct DirectDrainer {
    std::shared_ptr<Metrics> m = Metrics::create(1);
    std::shared_ptr<Store> store;
    std::shared_ptr<runtime::Notifier> wake = std::make_shared<runtime::Notifier>();
    std::shared_ptr<std::atomic<bool>> shutdown_flag = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<runtime::Runtime> rt = runtime::Runtime::create("drainer", 1).value();
    std::optional<runtime::ChannelSender<TransportHandle>> registrations;

    explicit DirectDrainer(std::shared_ptr<Store> s) : store(std::move(s)) {
        auto [tx, rx] = runtime::make_channel<TransportHandle>();
        registrations.emplace(std::move(tx));
        rt->spawn(drainer_task(0, store, {8}, std::move(rx), wake, shutdown_flag, m));
    }
    void add(const TransportHandle& h) {
        (void)registrations->send(h);
        wake->notify_one();
    }
    std::uint64_t inserted() const { return m->drainer(0).samples_inserted_total.load(); }
    ~DirectDrainer() {
        shutdown_flag->store(true);
        wake->notify_all();
        rt.reset();
    }
};

// The give-back race of InsertBatch.GiveBackWakesADrainerThatFilledTheRingDuringIt,
// met by the drainer task's own wait-for-room loop.
TEST(DrainerTask, GiveBackWakesTheTaskThatFilledTheRingDuringIt) {
    HookedRemover* remover = nullptr;
    const std::shared_ptr<Store> store = three_of_four_with_batch_zero_out(remover);

    DirectDrainer d(store);
    Producer p;
    p.put(3);
    p.put(4);
    remover->hook = [&] {
        d.add(p.handle());
        EXPECT_TRUE(eventually([&] { return store->space_notify().waiting() == 1; }));
        EXPECT_EQ(d.inserted(), 1u);
    };
    remover->armed = true;
    auto batch1 = store->sample();  // gives back batch 0 (the hook runs inside), hands out batch 1
    ASSERT_TRUE(batch1);
    EXPECT_EQ(value_at(*batch1, 1), 3u);
    EXPECT_TRUE(eventually([&] { return d.inserted() == 2; }));
    p.put(5);
    d.wake->notify_one();
    auto batch2 = store->sample();
    ASSERT_TRUE(batch2);
    EXPECT_EQ(value_at(*batch2, 0), 4u);
    EXPECT_EQ(value_at(*batch2, 1), 5u);
}

// A registration stays while its sender lives, even with its queue empty,
// and goes once the sender has closed and its last items were stored: items
// pushed while the drainer was inside a round, just before the close, are
// not dropped with it.
TEST(DrainerTask, DropsAClosedRegistrationOnlyOnceItsQueueIsEmpty) {
    auto m = Metrics::create(1);
    DirectDrainer d(make_store({ArraySpec{{}, 8}}, 1, 2, m));
    Producer p;
    const std::weak_ptr<ProducerQueue> queue = p.queue;
    p.put(0);
    p.put(1);
    d.add(p.handle());
    p.queue.reset();  // from here on, only the registration holds the queue
    std::uint64_t expect = 0;
    // Timed, so that a lost sample fails the test instead of hanging it.
    auto consume = [&](std::uint64_t upto) {
        while (expect < upto) {
            d.store->give_back();
            ConsumerView v;
            ASSERT_EQ(d.store->select_for(30s, v), SelectWait::Selected) << "sample " << expect << " never came";
            EXPECT_EQ(value_at(v, 0), expect++);
        }
    };
    consume(2);
    std::this_thread::sleep_for(20ms);  // rounds with an empty, open queue
    std::shared_ptr<ProducerQueue> q = queue.lock();
    ASSERT_TRUE(q) << "the registration of a live sender was dropped";
    auto push = [&](std::uint64_t v) {
        SampleBuffer b = SampleBuffer::zeroed(8);
        std::memcpy(b.data(), &v, 8);
        ASSERT_FALSE(q->try_push(TransportQueueItem(std::move(b), p.pool)));
    };
    for (std::uint64_t v = 2; v < 7; ++v) push(v);
    d.wake->notify_one();
    // One slot is free (the consumer holds the other): the drainer stores 2
    // and waits for room inside its round, holding 3 to 6.
    ASSERT_TRUE(eventually([&] { return d.inserted() == 3 && q->size() == 0; }));
    push(7);
    push(8);
    q.reset();
    p.closed->store(true, std::memory_order_release);  // the sender's close, after its last push
    consume(9);
    EXPECT_TRUE(eventually([&] { return queue.expired(); }));
    EXPECT_TRUE(p.pool->all_stored());
}

// At shutdown, a queue whose sender has gone is destroyed with the items
// still in it: their buffers go back to the sender's pool, nothing is stored.
TEST(DrainerTask, AtShutdownAGoneSendersQueueGoesWithItsItems) {
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}}, 1, 2, m);
    std::weak_ptr<ProducerQueue> queue;
    std::shared_ptr<BufferPool> pool;
    {
        DirectDrainer d(store);
        d.shutdown_flag->store(true);  // before the registration arrives
        Producer p;
        queue = p.queue;
        pool = p.pool;
        for (std::uint64_t v = 0; v < 3; ++v) p.put(v);
        p.closed->store(true);
        d.add(p.handle());
        // The task receives the registration, sees the flag and exits.
    }
    EXPECT_TRUE(queue.expired());
    EXPECT_TRUE(pool->all_stored());
    EXPECT_EQ(pool->size(), 3u);  // the three buffers, back in the pool
    EXPECT_EQ(store->write_cursor().load(), 0u);
}

TEST(DrainerPool, FirstBuffersAreZeroedAndLaterSamplesReuseThem) {
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}}, 1, 8, m);
    auto pool = DrainerPool::create(store, 1, 4, m).value();
    SampleSender s = pool->new_sender();
    SampleBuffer first = s.take_or_allocate(64);
    for (std::size_t i = 0; i < 64; ++i) ASSERT_EQ(first.data()[i], 0) << i;
    const std::uint8_t* address = first.data();
    std::memcpy(first.data(), "\x07\0\0\0\0\0\0\0", 8);
    s.push_blocking(s.make_item(std::move(first)));
    auto v = store->sample();
    ASSERT_TRUE(v);
    EXPECT_EQ(value_at(*v, 0), 7u);
    // The drainer destroyed the item after inserting it: its buffer is back
    // among the free buffers and is the next one handed out, bytes and all.
    std::optional<SampleBuffer> again;
    ASSERT_TRUE(eventually([&] { return (again = s.take_buffer()).has_value(); }));
    EXPECT_EQ(again->data(), address);
    EXPECT_EQ(again->data()[0], 7);
    EXPECT_EQ(s.take_or_allocate(64).data()[0], 0);  // the pool is empty again: a fresh, zeroed buffer
    pool->shutdown();
}

TEST(BufferPool, SharedStackComesFirstAndKeepsNoMoreThanTheLivePoolsCould) {
    auto shared = std::make_shared<SharedBuffers>(16);
    auto a = std::make_shared<BufferPool>(3, shared);
    auto b = std::make_shared<BufferPool>(2, shared);
    EXPECT_EQ(shared->allowance(), 5u);
    std::vector<const std::uint8_t*> given;
    for (int i = 0; i < 7; ++i) {
        SampleBuffer buf = SampleBuffer::zeroed(8);
        given.push_back(buf.data());
        EXPECT_FALSE(a->try_push(std::move(buf))) << i;  // kept or freed, never handed back
    }
    // Five kept (both pools' capacities), the last two freed; none in a's own pool.
    EXPECT_EQ(shared->size(), 5u);
    EXPECT_EQ(a->size(), 0u);
    // Another sender's pool takes the buffer given back last.
    std::optional<SampleBuffer> taken = b->try_pop();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->data(), given[4]);
    // A pool that goes takes its share of the allowance along: the idle
    // buffers beyond what is left are freed.
    b.reset();
    EXPECT_EQ(shared->allowance(), 3u);
    EXPECT_EQ(shared->size(), 3u);
    a.reset();
    EXPECT_EQ(shared->allowance(), 0u);
    EXPECT_EQ(shared->size(), 0u);
    EXPECT_FALSE(shared->try_push(std::move(*taken)));  // no pool left: freed
    EXPECT_EQ(shared->size(), 0u);
}

TEST(BufferPool, OwnPoolKeepsWhatTheSharedStackHasNoNodeFor) {
    auto shared = std::make_shared<SharedBuffers>(2);
    BufferPool pool(3, shared);  // an allowance of 3, but only 2 nodes
    std::vector<const std::uint8_t*> given;
    for (int i = 0; i < 5; ++i) {
        SampleBuffer buf = SampleBuffer::zeroed(8);
        given.push_back(buf.data());
        EXPECT_FALSE(pool.try_push(std::move(buf))) << i;
    }
    EXPECT_EQ(shared->size(), 2u);
    EXPECT_EQ(pool.size(), 3u);
    SampleBuffer extra = SampleBuffer::zeroed(8);
    const std::uint8_t* extra_data = extra.data();
    std::optional<SampleBuffer> back = pool.try_push(std::move(extra));  // both full: handed back
    ASSERT_TRUE(back);
    EXPECT_EQ(back->data(), extra_data);
    // The shared stack first, then the own pool, each last in, first out.
    for (int i : {1, 0, 4, 3, 2}) {
        std::optional<SampleBuffer> b = pool.try_pop();
        ASSERT_TRUE(b) << i;
        EXPECT_EQ(b->data(), given[static_cast<std::size_t>(i)]) << i;
    }
    EXPECT_FALSE(pool.try_pop());
}

TEST(DrainerPool, ABufferOneSenderGaveBackIsTheNextAnotherTakes) {
    auto m = Metrics::create(2);
    auto store = make_store({ArraySpec{{}, 8}}, 1, 8, m);
    auto pool = DrainerPool::create(store, 2, 4, m).value();
    std::optional<SampleSender> first(pool->new_sender());
    SampleSender second = pool->new_sender();  // registered with the other drainer
    EXPECT_EQ(pool->shared_buffers().allowance(), 2u * 9u);
    SampleBuffer buf = first->take_or_allocate(8);
    const std::uint8_t* address = buf.data();
    std::memcpy(buf.data(), "\x05\0\0\0\0\0\0\0", 8);
    first->push_blocking(first->make_item(std::move(buf)));
    auto v = store->sample();
    ASSERT_TRUE(v);
    EXPECT_EQ(value_at(*v, 0), 5u);
    std::optional<SampleBuffer> again;
    ASSERT_TRUE(eventually([&] { return (again = second.take_buffer()).has_value(); }));
    EXPECT_EQ(again->data(), address);
    EXPECT_FALSE(first->take_buffer());  // it was the only free one
    // A sender that goes, once its items are gone, gives up its share.
    first.reset();
    ASSERT_TRUE(eventually([&] { return pool->shared_buffers().allowance() == 9u; }));
    pool->shutdown();
}

TEST(DrainerPool, FullStoreSuspendsDrainerUntilBatchGivenBack) {
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}}, 2, 2, m);
    auto pool = DrainerPool::create(store, 1, 8, m).value();
    SampleSender s = pool->new_sender();
    for (std::uint64_t i = 0; i < 6; ++i) s.push_blocking(item_with(s, 8, i));
    ASSERT_TRUE(eventually([&] { return m->drainer(0).samples_inserted_total.load() == 4; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(m->drainer(0).samples_inserted_total.load(), 4u);
    auto b0 = store->sample();  // hands out batch 0: nothing given back yet
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(m->drainer(0).samples_inserted_total.load(), 4u);
    auto b1 = store->sample();  // gives batch 0 back: the drainer resumes
    ASSERT_TRUE(eventually([&] { return m->drainer(0).samples_inserted_total.load() == 6; }));
    auto b2 = store->sample();
    ASSERT_TRUE(b2);
    EXPECT_EQ(value_at(*b2, 0), 4u);
    EXPECT_EQ(value_at(*b2, 1), 5u);
    pool->shutdown();
}

TEST(DrainerPool, ClosedQueueIsDrainedBeforeItsRegistrationIsRemoved) {
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}}, 4, 2, m);
    auto pool = DrainerPool::create(store, 1, 8, m).value();
    {
        SampleSender s = pool->new_sender();
        // 8 fill the store; the drainer then waits inside its round while
        // 8 more wait in the queue when the sender goes away.
        for (std::uint64_t i = 0; i < 16; ++i) s.push_blocking(item_with(s, 8, i));
    }
    EXPECT_EQ(m->active_connections.load(), 0u);
    std::uint64_t expect = 0;
    while (expect < 16) {
        auto v = store->sample();
        ASSERT_TRUE(v);
        for (std::uint64_t k = 0; k < v->len; ++k) EXPECT_EQ(value_at(*v, k), expect++);
    }
    pool->shutdown();
}

TEST(DrainerPool, ShutdownEndsIdleDrainersAndLaterSendersStillWork) {
    auto m = Metrics::create(4);
    auto store = make_store({ArraySpec{{}, 8}}, 1, 4, m);
    auto pool = DrainerPool::create(store, 4, 2, m).value();
    pool->shutdown();
    ASSERT_TRUE(eventually([&] { return pool->live_drainers() == 0; }));
    SampleSender s = pool->new_sender();
    EXPECT_EQ(m->active_connections.load(), 1u);
    s.push_blocking(item_with(s, 8, 1));
    s.push_blocking(item_with(s, 8, 2));
    EXPECT_EQ(s.queue().size(), 2u);  // nothing drains it
    pool->shutdown();                 // a second call is harmless
}

// Shutdown reaches a drainer that is inside a round, waiting for store room:
// it finishes that round once a batch is given back (the samples it took
// were acknowledged), then exits; samples pushed after the shutdown stay
// queued and are never inserted.
TEST(DrainerPool, ShutdownDuringAFullStoreRoundFinishesTheRoundThenExits) {
    auto m = Metrics::create(1);
    auto store = make_store({ArraySpec{{}, 8}}, 2, 2, m);
    auto pool = DrainerPool::create(store, 1, 8, m).value();
    SampleSender s = pool->new_sender();
    for (std::uint64_t i = 0; i < 6; ++i) s.push_blocking(item_with(s, 8, i));
    // Four fill the store; the other two are taken into a round (the queue
    // is empty) that now waits for room.
    ASSERT_TRUE(eventually([&] {
        return m->drainer(0).samples_inserted_total.load() == 4 && s.queue().size() == 0;
    }));
    pool->shutdown();
    s.push_blocking(item_with(s, 8, 6));
    s.push_blocking(item_with(s, 8, 7));
    EXPECT_EQ(pool->live_drainers(), 1u);  // still inside its round
    auto b0 = store->sample();
    auto b1 = store->sample();  // gives batch 0 back: the round can finish
    ASSERT_TRUE(eventually([&] { return pool->live_drainers() == 0; }));
    EXPECT_EQ(m->drainer(0).samples_inserted_total.load(), 6u);
    auto b2 = store->sample();
    ASSERT_TRUE(b2);
    EXPECT_EQ(value_at(*b2, 0), 4u);
    EXPECT_EQ(value_at(*b2, 1), 5u);
    EXPECT_EQ(s.queue().size(), 2u);
}

// Producers suspended on full queues (on their own runtime), a drainer
// suspended on a full store: destroying everything releases every buffer
// and joins every thread.
TEST(DrainerPool, DestructionWithSuspendedTasksReleasesEverything) {
    // Ids rather than a count: a thread an earlier test joined may still be
    // listed now and gone later.
    const std::set<long> threads_before = thread_ids();
    auto m = Metrics::create(2);
    auto store = make_store({ArraySpec{{64}, 1}}, 2, 2, m);
    auto pool = DrainerPool::create(store, 2, 2, m).value();
    auto producers = runtime::Runtime::create("tcp", 2).value();
    std::atomic<int> pushed{0};
    for (int p = 0; p < 4; ++p) {
        producers->spawn([](SampleSender s, std::atomic<int>& pushed) -> runtime::Task<void> {
            for (std::uint64_t i = 0;; ++i) {
                co_await s.push(item_with(s, 64, i));
                pushed.fetch_add(1);
            }
        }(pool->new_sender(), pushed));
    }
    ASSERT_TRUE(eventually([&] { return m->push_blocked_count.value.load() >= 4; }));
    EXPECT_EQ(m->active_connections.load(), 4u);
    producers.reset();  // cancels the producers at their wait points: senders close
    EXPECT_EQ(m->active_connections.load(), 0u);
    pool.reset();  // cancels the drainers, one of them inside insert_batch
    store.reset();
    // Joined threads may stay listed for a moment after their join.
    EXPECT_TRUE(eventually([&] {
        const std::set<long> now = thread_ids();
        return std::includes(threads_before.begin(), threads_before.end(), now.begin(), now.end());
    }));
}

// Many senders push disjoint sequence ranges through several drainers into a
// small ring with a slow consumer, half of them storing directly whenever
// they may; senders close and reconnect at random.
// Every pushed sample arrives exactly once, intact, in its connection's
// order (a reconnected sender gets a new queue, possibly on another drainer,
// so order is kept per connection).
TEST(IngressStress, DisjointRangesArriveExactlyOnceInOrder) {
    constexpr unsigned kSenders = 12;
    const std::uint64_t per_sender = ravo::testing::scaled(20'000, 3'000);
    auto m = Metrics::create(3);
    auto store = make_store({ArraySpec{{}, 8}, ArraySpec{{3}, 8}}, 16, 3, m);
    auto pool = DrainerPool::create(store, 3, 4, m).value();

    std::vector<std::uint64_t> pushed(kSenders, 0);
    std::vector<std::thread> threads;
    for (unsigned s = 0; s < kSenders; ++s) {
        threads.emplace_back([&, s] {
            std::mt19937_64 rng(s);
            std::uint64_t i = 0;
            std::uint64_t conn = 0;
            // Even senders hand over groups of samples as a connection does:
            // stored directly while they may, the rest queued; odd senders
            // only queue.
            const bool direct = s % 2 == 0;
            std::vector<SampleBuffer> group;
            while (i < per_sender) {
                ++conn;
                // Each sender reconnects (a new sender, a new queue) at random.
                SampleSender sender = pool->new_sender();
                const std::uint64_t run = 1 + rng() % 500;
                for (std::uint64_t k = 0; k < run && i < per_sender;) {
                    const std::uint64_t n = direct ? 1 + rng() % 8 : 1;
                    group.clear();
                    for (std::uint64_t g = 0; g < n && k < run && i < per_sender; ++g, ++k, ++i) {
                        const std::uint64_t v = (std::uint64_t{s} << 48) | (conn << 32) | i;
                        SampleBuffer b = sender.take_or_allocate(32);
                        const std::uint64_t words[4] = {v, ~v, v * 3, v ^ 0x5555};
                        std::memcpy(b.data(), words, 32);
                        group.push_back(std::move(b));
                    }
                    const std::size_t stored = direct ? sender.try_store(group) : 0;
                    for (std::size_t g = stored; g < group.size(); ++g) {
                        sender.push_blocking(sender.make_item(std::move(group[g])));
                    }
                }
            }
            pushed[s] = i;
        });
    }
    std::vector<std::uint64_t> count(kSenders, 0);
    std::vector<std::map<std::uint64_t, std::uint64_t>> last(kSenders);  // per connection: last index
    std::uint64_t seen = 0, sum = 0;
    const std::uint64_t total = per_sender * kSenders;
    std::uint64_t batches = 0;
    while (seen < total) {
        auto v = store->sample();
        ASSERT_TRUE(v);
        if (++batches % 64 == 0) std::this_thread::sleep_for(1ms);  // a slow consumer
        for (std::uint64_t k = 0; k < v->len; ++k) {
            std::uint64_t words[4];
            std::memcpy(&words[0], v->spans[0].data + k * 8, 8);
            std::memcpy(&words[1], v->spans[1].data + k * 24, 24);
            const std::uint64_t val = words[0];
            ASSERT_EQ(words[1], ~val);
            ASSERT_EQ(words[2], val * 3);
            ASSERT_EQ(words[3], val ^ 0x5555);
            const unsigned s = static_cast<unsigned>(val >> 48);
            ASSERT_LT(s, kSenders);
            const std::uint64_t c = (val >> 32) & 0xFFFF;
            const std::uint64_t i = val & 0xFFFFFFFF;
            auto it = last[s].find(c);
            if (it != last[s].end()) {
                ASSERT_EQ(i, it->second + 1) << "sender " << s << " connection " << c;
                it->second = i;
            } else {
                last[s][c] = i;
            }
            ++count[s];
            sum += i;
        }
        seen += v->len;
    }
    for (auto& t : threads) t.join();
    for (unsigned s = 0; s < kSenders; ++s) {
        EXPECT_EQ(pushed[s], per_sender);
        EXPECT_EQ(count[s], per_sender);
    }
    EXPECT_EQ(sum, kSenders * (per_sender * (per_sender - 1) / 2));
    EXPECT_EQ(m->active_connections.load(), 0u);
    std::uint64_t inserted = 0;
    for (std::size_t d = 0; d < 3; ++d) inserted += m->drainer(d).samples_inserted_total.load();
    EXPECT_EQ(inserted, total);
    // Buffers crossed between senders through the shared stack; with every
    // sender and item gone, it holds none and grants nothing.
    EXPECT_TRUE(eventually([&] {
        return pool->shared_buffers().allowance() == 0 && pool->shared_buffers().size() == 0;
    }));
    pool->shutdown();
}

}  // namespace
}  // namespace ravo
