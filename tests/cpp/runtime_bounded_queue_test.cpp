// Bounded lock-free MPMC queue: order, full/empty boundaries, size snapshot
// bounds, conservation under concurrency, destruction of leftovers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/bounded_queue.h"
#include "test_util.h"

namespace ravo::runtime {
namespace {

using ravo::testing::kScale;

struct Counted {
    explicit Counted(std::atomic<int>* live, int v) : live_(live), value(v) { live_->fetch_add(1); }
    Counted(Counted&& other) noexcept : live_(other.live_), value(other.value) { live_->fetch_add(1); }
    Counted& operator=(Counted&&) = delete;
    ~Counted() { live_->fetch_sub(1); }
    std::atomic<int>* live_;
    int value;
};

TEST(RuntimeBoundedQueue, CreateRefusesZeroCapacity) {
    auto q = BoundedQueue<int>::create(0);
    ASSERT_FALSE(q.ok());
    EXPECT_EQ(q.error().kind, Error::Kind::Config);
    EXPECT_EQ(q.error().message, "queue capacity must be > 0");
    auto ok = BoundedQueue<int>::create(5);
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.value()->capacity(), 5u);
}

// Capacities 1, 3 (not a power of two) and 8, over many laps of the ring.
TEST(RuntimeBoundedQueue, FifoAcrossLapsAndExactCapacity) {
    for (std::size_t cap : {std::size_t{1}, std::size_t{3}, std::size_t{8}}) {
        BoundedQueue<int> q(cap);
        int next_in = 0;
        int next_out = 0;
        for (int lap = 0; lap < 50; ++lap) {
            // Fill to exactly the capacity; one more is handed back intact.
            for (std::size_t i = 0; i < cap; ++i) ASSERT_FALSE(q.try_push(next_in++).has_value());
            EXPECT_EQ(q.size(), cap);
            std::optional<int> refused = q.try_push(-7);
            ASSERT_TRUE(refused.has_value());
            EXPECT_EQ(*refused, -7);
            EXPECT_EQ(q.size(), cap);
            // Drain part way, so later laps start mid-ring.
            const std::size_t take = (lap % 2 == 0) ? cap : (cap + 1) / 2;
            for (std::size_t i = 0; i < take; ++i) {
                std::optional<int> v = q.try_pop();
                ASSERT_TRUE(v.has_value());
                EXPECT_EQ(*v, next_out++);
            }
            EXPECT_EQ(q.size(), cap - take);
            while (std::optional<int> v = q.try_pop()) EXPECT_EQ(*v, next_out++);
            EXPECT_EQ(q.size(), 0u);
            EXPECT_FALSE(q.try_pop().has_value());
        }
        EXPECT_EQ(next_in, next_out);
    }
}

TEST(RuntimeBoundedQueue, MoveOnlyItemsAndItemHandedBackWhenFull) {
    BoundedQueue<std::unique_ptr<int>> q(1);
    EXPECT_FALSE(q.try_push(std::make_unique<int>(1)).has_value());
    std::optional<std::unique_ptr<int>> back = q.try_push(std::make_unique<int>(2));
    ASSERT_TRUE(back.has_value());
    ASSERT_TRUE(*back);
    EXPECT_EQ(**back, 2);
    EXPECT_EQ(**q.try_pop(), 1);
}

TEST(RuntimeBoundedQueue, DestructionDestroysRemainingItemsOnly) {
    std::atomic<int> live{0};
    {
        BoundedQueue<Counted> q(4);
        for (int i = 0; i < 4; ++i) EXPECT_FALSE(q.try_push(Counted(&live, i)).has_value());
        { std::optional<Counted> refused = q.try_push(Counted(&live, 9)); }
        { std::optional<Counted> popped = q.try_pop(); }
        EXPECT_FALSE(q.try_push(Counted(&live, 4)).has_value());  // wraps to cell 0
        EXPECT_EQ(live.load(), 4);
    }
    EXPECT_EQ(live.load(), 0);
}

// Producers push disjoint ranges, consumers pop; the sum and count come out
// exact, every consumer sees each producer's values in increasing order, and
// a concurrent observer never sees a size outside [0, capacity].
TEST(RuntimeBoundedQueue, MpmcStressConservesItemsAndPerProducerOrder) {
    const int producers = 4;
    const int consumers = 3;
    const std::int64_t per_producer = 50000 / kScale;
    const std::size_t capacity = 37;
    BoundedQueue<std::int64_t> q(capacity);

    std::atomic<bool> producing{true};
    std::atomic<std::int64_t> popped_count{0};
    std::atomic<std::int64_t> popped_sum{0};
    std::atomic<int> order_violations{0};
    std::atomic<std::size_t> max_size_seen{0};

    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            const std::int64_t base = p * per_producer;
            for (std::int64_t i = 0; i < per_producer; ++i) {
                std::optional<std::int64_t> item = base + i;
                while ((item = q.try_push(*item))) std::this_thread::yield();
            }
        });
    }
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&] {
            std::vector<std::int64_t> last(producers, -1);
            std::int64_t sum = 0;
            for (;;) {
                std::optional<std::int64_t> v = q.try_pop();
                if (!v) {
                    if (popped_count.load() == producers * per_producer) break;
                    std::this_thread::yield();
                    continue;
                }
                const auto producer = static_cast<std::size_t>(*v / per_producer);
                if (*v <= last[producer]) order_violations.fetch_add(1);
                last[producer] = *v;
                sum += *v;
                popped_count.fetch_add(1);
            }
            popped_sum.fetch_add(sum);
        });
    }
    std::thread observer([&] {
        while (producing.load()) {
            const std::size_t s = q.size();
            std::size_t seen = max_size_seen.load();
            while (s > seen && !max_size_seen.compare_exchange_weak(seen, s)) {
            }
            std::this_thread::yield();
        }
    });
    for (int p = 0; p < producers; ++p) threads[static_cast<std::size_t>(p)].join();
    producing.store(false);
    for (std::size_t t = static_cast<std::size_t>(producers); t < threads.size(); ++t) threads[t].join();
    observer.join();

    const std::int64_t n = producers * per_producer;
    EXPECT_EQ(popped_count.load(), n);
    EXPECT_EQ(popped_sum.load(), n * (n - 1) / 2);
    EXPECT_EQ(order_violations.load(), 0);
    EXPECT_LE(max_size_seen.load(), capacity);
    EXPECT_EQ(q.size(), 0u);
}

// One producer, one consumer, capacity 1: the tightest hand-off, where each
// item must be taken before the next fits.
TEST(RuntimeBoundedQueue, SpscCapacityOneHandOff) {
    const int items = 200000 / kScale;
    BoundedQueue<int> q(1);
    std::thread producer([&] {
        for (int i = 0; i < items; ++i) {
            std::optional<int> item = i;
            while ((item = q.try_push(*item))) std::this_thread::yield();
        }
    });
    int expected = 0;
    while (expected < items) {
        if (std::optional<int> v = q.try_pop()) {
            ASSERT_EQ(*v, expected);
            ++expected;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(q.size(), 0u);
}

}  // namespace
}  // namespace ravo::runtime
