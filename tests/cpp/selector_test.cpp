// FIFO selector: completion, hand-out order, shutdown, counting.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "selector.h"

namespace ravo {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<FifoSampler> make(std::uint64_t b, std::uint64_t n, std::shared_ptr<Metrics> m = nullptr) {
    auto s = FifoSampler::with_metrics(b, b * n, std::move(m));
    EXPECT_TRUE(s.ok());
    return std::move(s).value();
}

TEST(FifoSampler, RefusesZeroBatchAndNonMultipleCapacity) {
    EXPECT_FALSE(FifoSampler::with_metrics(0, 8, nullptr).ok());
    auto r = FifoSampler::with_metrics(4, 10, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "capacity must be a multiple of batch_size");
}

TEST(FifoSampler, BatchOfOneCountsEveryCommit) {
    auto m = Metrics::create(0);
    auto s = make(1, 3, m);
    for (std::uint64_t p = 0; p < 5; ++p) {
        s->commit(p);
        EXPECT_EQ(m->notify_count.value.load(), p + 1);
        ASSERT_TRUE(s->select(1));
    }
}

TEST(FifoSampler, CommitBatchCompletesAndWakesWaitingSelect) {
    auto m = Metrics::create(0);
    auto s = make(4, 2, m);
    auto waiter = std::async(std::launch::async, [&] { return s->select(4); });
    ASSERT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    s->commit_batch(0, 4);
    auto sel = waiter.get();
    ASSERT_TRUE(sel);
    EXPECT_EQ(sel->start_slot, 0u);
    EXPECT_EQ(sel->count, 4u);
    EXPECT_EQ(s->select_pos(), 4u);
    s->commit_batch(4, 3);
    s->commit(7);
    auto second = s->select(4);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->start_slot, 4u);
    EXPECT_EQ(second->count, 4u);
    EXPECT_EQ(m->notify_count.value.load(), 2u);
}

TEST(FifoSampler, PartialOrOverfullCommitBatchNeitherCountsNorWakes) {
    auto m = Metrics::create(0);
    auto s = make(4, 2, m);
    s->commit_batch(0, 3);
    EXPECT_EQ(m->notify_count.value.load(), 0u);
    EXPECT_FALSE(s->try_select(4));
    s->commit_batch(0, 1);
    EXPECT_EQ(m->notify_count.value.load(), 1u);
    s->commit_batch(0, 0);  // counter already at B
    s->commit_batch(0, 2);  // past B: counts no second completion
    EXPECT_EQ(m->notify_count.value.load(), 1u);
    // A batch that was already complete is not completed again by a later
    // partial commit into the next one.
    s->commit_batch(4, 2);
    EXPECT_EQ(m->notify_count.value.load(), 1u);
    ASSERT_TRUE(s->try_select(4));
    EXPECT_FALSE(s->try_select(4));
}

TEST(FifoSampler, LaterBatchNeverOvertakesEarlierOne) {
    auto s = make(4, 2);
    s->commit_batch(4, 4);  // batch 1 complete
    s->commit_batch(0, 3);  // batch 0 at 3 of 4
    EXPECT_FALSE(s->try_select(4));
    auto waiter = std::async(std::launch::async, [&] { return s->select(4); });
    ASSERT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    s->commit(3);
    auto first = waiter.get();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->start_slot, 0u);
    auto second = s->try_select(4);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->start_slot, 4u);
}

TEST(FifoSampler, ShutdownReleasesWaiterButStillHandsOutCompleteHead) {
    auto s = make(4, 2);
    auto waiter = std::async(std::launch::async, [&] { return s->select(4); });
    ASSERT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    s->shutdown();
    EXPECT_FALSE(waiter.get());
    EXPECT_FALSE(s->select(4));
    s->commit_batch(0, 4);
    auto sel = s->select(4);
    ASSERT_TRUE(sel);
    EXPECT_EQ(sel->start_slot, 0u);
    EXPECT_FALSE(s->select(4));
    s->shutdown();  // a second call is harmless
}

TEST(FifoSampler, QueueSizeCountsCommittedNotHandedOut) {
    auto s = make(4, 3);
    s->commit_batch(0, 4);
    s->commit_batch(4, 2);
    EXPECT_EQ(s->queue_size(), 6u);
    ASSERT_TRUE(s->select(4));
    EXPECT_EQ(s->queue_size(), 2u);
}

TEST(FifoSampler, SelectForTimesOutThenSeesCompletion) {
    auto s = make(2, 2);
    Selection out{};
    EXPECT_EQ(s->select_for(2, 20ms, out), SelectWait::TimedOut);
    s->commit(0);
    s->commit(1);
    EXPECT_EQ(s->select_for(2, 20ms, out), SelectWait::Selected);
    EXPECT_EQ(out.start_slot, 0u);
    s->shutdown();
    EXPECT_EQ(s->select_for(2, 20ms, out), SelectWait::ShutDown);
}

TEST(FifoSampler, HandOutWrapsAroundTheRing) {
    auto s = make(2, 2);
    for (std::uint64_t p = 0; p < 12; ++p) {
        s->commit(p);
        if (p % 2 == 1) {
            auto sel = s->select(2);
            ASSERT_TRUE(sel);
            EXPECT_EQ(sel->start_slot, (p - 1) % 4);
        }
    }
}

TEST(Metrics, SnapshotSumsDepthsTakesLargestMaxAndSumsInserted) {
    // Different values per drainer, so that a max of sums or a sum of maxes
    // reads differently from the right aggregation.
    auto m = Metrics::create(3);
    const std::size_t sums[] = {5, 0, 7}, maxes[] = {3, 0, 4};
    const std::uint64_t inserted[] = {10, 20, 30};
    for (std::size_t d = 0; d < 3; ++d) {
        m->drainer(d).queue_depth_sum.store(sums[d]);
        m->drainer(d).queue_depth_max.store(maxes[d]);
        m->drainer(d).samples_inserted_total.store(inserted[d]);
    }
    m->push_blocked_count.value.store(9);
    m->notify_count.value.store(2);
    m->active_connections.store(4);
    const MetricsSnapshot snap = m->snapshot();
    EXPECT_EQ(snap.queue_depth_sum, 12u);
    EXPECT_EQ(snap.queue_depth_max, 4u);
    EXPECT_EQ(snap.samples_inserted_total, 60u);
    EXPECT_EQ(snap.push_blocked_count, 9u);
    EXPECT_EQ(snap.notify_count, 2u);
    EXPECT_EQ(snap.active_connections, 4u);
    EXPECT_EQ(Metrics::create(0)->snapshot().queue_depth_max, 0u);  // no drainers
}

TEST(FifoRemover, ReadPosAccumulates) {
    FifoRemover r;
    r.remove(4);
    r.remove(4);
    EXPECT_EQ(r.read_pos(), 8u);
}

}  // namespace
}  // namespace ravo
