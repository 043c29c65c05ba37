// Ring layout, store construction checks, the synchronous insert and the
// consumer path, and a many-writer stress test with conservation checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <unistd.h>
#include <vector>

#include "store.h"
#include "test_util.h"

namespace ravo {
namespace {

using namespace std::chrono_literals;

Result<std::unique_ptr<Store>> make_store(std::vector<ArraySpec> specs, std::uint64_t batch, std::uint64_t n,
                                          std::shared_ptr<Metrics> metrics = nullptr) {
    auto sampler = FifoSampler::with_metrics(batch, batch * n, std::move(metrics));
    if (!sampler) return sampler.error();
    return Store::create(std::move(specs), batch, n, std::move(sampler).value(), std::make_unique<FifoRemover>());
}

std::string error_of(Result<std::unique_ptr<Store>> r) { return r.ok() ? "" : r.error().message; }

TEST(ArraySpec, ByteSizeRule) {
    EXPECT_EQ((ArraySpec{{}, 4}.byte_size()), 4u);
    EXPECT_EQ((ArraySpec{{2, 0, 7}, 8}.byte_size()), 0u);
    EXPECT_EQ((ArraySpec{{2, 3}, 4}.byte_size()), 24u);
    EXPECT_FALSE((ArraySpec{{1ull << 32, 1ull << 32}, 1}.checked_byte_size()));
    EXPECT_EQ((ArraySpec{{1ull << 40, 0}, 8}.checked_byte_size()), 0u);
}

TEST(PytreeRingBuf, ChecksInOrderAndLayout) {
    EXPECT_EQ(PytreeRingBuf::create({}, 0, 0).error().message, "capacity must be > 0");
    EXPECT_EQ(PytreeRingBuf::create({4}, 6, 4).error().message, "capacity (6) must be a multiple of batch_size (4)");
    EXPECT_EQ(PytreeRingBuf::create({4}, 6, 0).error().message, "capacity (6) must be a multiple of batch_size (0)");
    EXPECT_EQ(PytreeRingBuf::create({}, 6, 3).error().message, "slot_bytes must not be empty");

    auto ring = PytreeRingBuf::create({16, 4, 0}, 6, 3);
    ASSERT_TRUE(ring.ok());
    auto& r = *ring.value();
    EXPECT_EQ(r.region_bytes(0), 96u);
    EXPECT_EQ(r.region_bytes(1), 24u);
    EXPECT_EQ(r.region(2), nullptr);
    for (std::size_t i = 0; i < 2; ++i) {
        for (std::uint64_t b = 0; b < r.region_bytes(i); ++b) ASSERT_EQ(r.region(i)[b], 0) << "fresh ring not zero";
    }
}

// Small regions of a ring that will be page-locked must not share a page:
// the CUDA runtime locks whole pages and refuses a page registered twice.
TEST(PytreeRingBuf, RegionsForPinningOwnWholePages) {
    auto ring = PytreeRingBuf::create({3, 5, 0, 7}, 4, 2, true);
    ASSERT_TRUE(ring.ok());
    auto& r = *ring.value();
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t i : {0, 1, 3}) {
        const auto addr = reinterpret_cast<std::uintptr_t>(r.region(i));
        EXPECT_EQ(addr % page, 0u) << "leaf " << i;
        for (std::uint64_t b = 0; b < r.region_bytes(i); ++b) ASSERT_EQ(r.region(i)[b], 0);
    }
    EXPECT_EQ(r.region(2), nullptr);
}

TEST(Store, ConstructionChecksInOrder) {
    EXPECT_EQ(error_of(make_store({}, 4, 1)), "num_batches must be >= 2");
    EXPECT_EQ(error_of(make_store({}, 4, 2)), "slot_bytes must not be empty");
    // 2^32 * (2^32 + 1) wraps to 2^32: a valid multiple, refused as an overflow.
    auto s = Store::create({ArraySpec{{1}, 1}}, 1ull << 32, (1ull << 32) + 1, nullptr, nullptr);
    EXPECT_EQ(s.error().message, "batch_size (4294967296) * num_buffers (4294967297) overflows 64 bits");
    EXPECT_EQ(error_of(make_store({ArraySpec{{1ull << 33, 1ull << 33}, 1}}, 2, 2)),
              "leaf 0: shape [8589934592, 8589934592] * dtype_size 1 overflows 64 bits");
    EXPECT_EQ(error_of(make_store({ArraySpec{{}, 1}, ArraySpec{{1ull << 62}, 1}}, 2, 2)),
              "leaf 1: region size 4611686018427387904 bytes per slot * capacity 4 overflows 64 bits");
    auto huge = make_store({ArraySpec{{1ull << 50}, 1}}, 2, 2);
    ASSERT_FALSE(huge.ok());
    EXPECT_EQ(huge.error().kind, Error::Kind::Memory);
}

TEST(Store, InsertThenSampleGivesViewsOfTheBatch) {
    auto st = make_store({ArraySpec{{3}, 4}, ArraySpec{{}, 8}, ArraySpec{{0}, 4}}, 4, 3);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    for (std::uint8_t k = 0; k < 4; ++k) {
        std::vector<std::uint8_t> a(12, k), b(8, static_cast<std::uint8_t>(100 + k));
        ByteSpan spans[] = {{a.data(), a.size()}, {b.data(), b.size()}};
        ASSERT_EQ(s.insert_sync(spans), InsertOutcome::Inserted);
    }
    auto view = s.sample();
    ASSERT_TRUE(view);
    ASSERT_EQ(view->spans.size(), 3u);
    EXPECT_EQ(view->len, 4u);
    EXPECT_EQ(view->spans[0].len, 48u);
    EXPECT_EQ(view->spans[1].len, 32u);
    EXPECT_EQ(view->spans[2].len, 0u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(view->spans[0].data[k * 12 + 11], k);
        EXPECT_EQ(view->spans[1].data[k * 8], 100 + k);
    }
}

TEST(Store, FewerOrShorterArraysLeaveTheRestOfTheSlot) {
    auto st = make_store({ArraySpec{{4}, 1}, ArraySpec{{4}, 1}}, 1, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    const std::uint8_t full[4] = {1, 2, 3, 4};
    ByteSpan both[] = {{full, 4}, {full, 4}};
    ASSERT_EQ(s.insert_sync(both), InsertOutcome::Inserted);
    ASSERT_TRUE(s.sample());
    ASSERT_EQ(s.insert_sync(both), InsertOutcome::Inserted);  // slot 1
    ASSERT_TRUE(s.sample());
    const std::uint8_t two[2] = {9, 9};
    ByteSpan shorter[] = {{two, 2}};
    ASSERT_EQ(s.insert_sync(shorter), InsertOutcome::Inserted);  // slot 0 again, leaf 1 untouched
    auto v = s.sample();
    ASSERT_TRUE(v);
    EXPECT_EQ(std::vector<std::uint8_t>(v->spans[0].data, v->spans[0].data + 4), (std::vector<std::uint8_t>{9, 9, 3, 4}));
    EXPECT_EQ(std::vector<std::uint8_t>(v->spans[1].data, v->spans[1].data + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(Store, FullRingHoldsWriterUntilSecondSample) {
    auto st = make_store({ArraySpec{{}, 1}}, 2, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::uint8_t byte = 7;
    ByteSpan one[] = {{&byte, 1}};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    auto fifth = std::async(std::launch::async, [&] { return s.insert_sync(one); });
    ASSERT_TRUE(s.sample());  // hands out batch 0, gives nothing back
    EXPECT_EQ(s.remover().read_pos(), 0u);
    EXPECT_EQ(fifth.wait_for(50ms), std::future_status::timeout);
    ASSERT_TRUE(s.sample());  // gives batch 0 back
    EXPECT_EQ(fifth.get(), InsertOutcome::Inserted);
    EXPECT_EQ(s.remover().read_pos(), 2u);
}

TEST(Store, FullRingAfterShutdownRefusesInsteadOfSpinning) {
    auto st = make_store({ArraySpec{{}, 1}}, 1, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::uint8_t byte = 1;
    ByteSpan one[] = {{&byte, 1}};
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    auto blocked = std::async(std::launch::async, [&] { return s.insert_sync(one); });
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    s.shutdown();
    EXPECT_EQ(blocked.get(), InsertOutcome::ShutDown);
    EXPECT_EQ(s.write_cursor().load(), 2u);
    EXPECT_EQ(s.insert_sync_until(one, std::chrono::steady_clock::now()), InsertOutcome::ShutDown);
}

// A read position whose loads can run a hook first: the hook plays the
// other writers and the consumer moving on between two of the store's loads.
class ScriptedRemover final : public Remover {
public:
    void remove(std::uint64_t n) override { pos += n; }
    std::uint64_t read_pos() const override {
        ++reads;
        if (on_read) on_read(reads);
        return pos;
    }
    mutable std::uint64_t pos = 0;
    mutable int reads = 0;
    std::function<void(int)> on_read;
};

// After shutdown a full ring refuses only on a consistent pair of loads. Here
// the writer finds the ring full, sees the shutdown and re-reads the cursor
// (2); before it loads the read position, two other writers insert (cursor
// 4) and the consumer gives three slots back (read position 3). That read
// position is past the cursor it re-read: it says nothing about room, and
// used to wrap into "full" and refuse a sample the ring had room for.
TEST(Store, SubmitAfterShutdownIsNotRefusedByAReadPositionPastAStaleCursor) {
    auto sampler = FifoSampler::with_metrics(1, 2, nullptr).value();
    auto remover = std::make_unique<ScriptedRemover>();
    ScriptedRemover* script = remover.get();
    auto st = Store::create({ArraySpec{{}, 1}}, 1, 2, std::move(sampler), std::move(remover));
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::uint8_t byte = 1;
    ByteSpan one[] = {{&byte, 1}};
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    s.shutdown();
    script->reads = 0;
    script->on_read = [&](int read) {
        if (read == 2) {  // the load right after the re-read of the cursor
            s.write_cursor().store(4);
            script->pos = 3;
        }
    };
    EXPECT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    EXPECT_EQ(s.write_cursor().load(), 5u);
    // Full for real now (cursor 5, read position 3): refused.
    EXPECT_EQ(s.insert_sync(one), InsertOutcome::ShutDown);
}

TEST(Store, InsertTimesOutWithoutReserving) {
    auto st = make_store({ArraySpec{{}, 1}}, 1, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::uint8_t byte = 1;
    ByteSpan one[] = {{&byte, 1}};
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    EXPECT_EQ(s.insert_sync_until(one, std::chrono::steady_clock::now() + 10ms), InsertOutcome::TimedOut);
    EXPECT_EQ(s.write_cursor().load(), 2u);
}

TEST(Store, TryInsertTakesRoomWhenThereIsSomeAndNeverWaits) {
    auto st = make_store({ArraySpec{{}, 1}}, 1, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::uint8_t byte = 7;
    ByteSpan one[] = {{&byte, 1}};
    ASSERT_EQ(s.try_insert(one), InsertOutcome::Inserted);
    ASSERT_EQ(s.try_insert(one), InsertOutcome::Inserted);
    // Full: refused at once (no spinning, no reservation), again and again.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.try_insert(one), InsertOutcome::TimedOut);
    EXPECT_EQ(s.write_cursor().load(), 2u);
    // A batch handed out and given back makes room for exactly one more.
    ASSERT_TRUE(s.sample());
    ASSERT_TRUE(s.sample());
    EXPECT_EQ(s.try_insert(one), InsertOutcome::Inserted);
    EXPECT_EQ(s.try_insert(one), InsertOutcome::TimedOut);
    s.shutdown();
    EXPECT_EQ(s.try_insert(one), InsertOutcome::ShutDown);
    EXPECT_EQ(s.write_cursor().load(), 3u);
}

// A run ends at the batch boundary and at the free room, whichever is
// nearer, and a full ring (or a zero max) reserves nothing.
TEST(Store, ReservedRunsStopAtTheBatchBoundaryAndTheFreeRoom) {
    auto st = make_store({ArraySpec{{}, 1}}, 4, 3);  // 12 slots
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    auto run = [&](std::uint64_t max) {
        const Store::Run r = s.reserve_run(max);
        return std::pair<std::uint64_t, std::uint64_t>{r.first, r.count};
    };
    using P = std::pair<std::uint64_t, std::uint64_t>;
    EXPECT_EQ(run(0), (P{0, 0}));
    EXPECT_EQ(s.write_cursor().load(), 0u);
    EXPECT_EQ(run(3), (P{0, 3}));
    EXPECT_EQ(run(100), (P{3, 1}));  // the rest of batch 0
    EXPECT_EQ(run(100), (P{4, 4}));
    EXPECT_EQ(run(2), (P{8, 2}));
    s.sampler().commit_batch(0, 4);
    s.sampler().commit_batch(4, 4);
    s.remover().remove(4);         // batch 0 given back: 2 slots free in batch 2, 4 in batch 0 again
    EXPECT_EQ(run(100), (P{10, 2}));  // the boundary of batch 2 comes before the end of the room
    EXPECT_EQ(run(100), (P{12, 4}));  // slots 0-3 again, up to the room
    EXPECT_EQ(run(100), (P{0, 0}));   // full
    EXPECT_EQ(s.write_cursor().load(), 16u);
}

TEST(Store, ShutdownReleasesWaitingSampleAndLaterCallsReturnAtOnce) {
    auto st = make_store({ArraySpec{{}, 1}}, 2, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::uint8_t byte = 1;
    ByteSpan one[] = {{&byte, 1}};
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    ASSERT_TRUE(s.sample());
    auto waiting = std::async(std::launch::async, [&] { return s.sample(); });
    EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
    s.shutdown();
    EXPECT_FALSE(waiting.get());
    EXPECT_EQ(s.remover().read_pos(), 2u);  // the previous batch was given back
    EXPECT_FALSE(s.sample());
    EXPECT_EQ(s.remover().read_pos(), 2u);
}

TEST(Store, ViewSpanOffsetsFollowSlotBytes) {
    auto st = make_store({ArraySpec{{3}, 4}}, 4, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::uint8_t bytes[12] = {};
    ByteSpan one[] = {{bytes, 12}};
    for (int i = 0; i < 8; ++i) ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
    ASSERT_TRUE(s.sample());
    auto v = s.sample();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->spans[0].data - s.ring().region(0), 48);
    EXPECT_EQ(v->spans[0].len, 48u);
}

// Leaves of 16 and 4 bytes, batch_size 3, two batches: slot p of leaf i
// starts at p * slot_bytes[i] of its region, and a batch's view of leaf i
// covers batch_size slots from the batch's first one.
TEST(Store, SlotAndBatchOffsetsInTwoLeafRing) {
    auto st = make_store({ArraySpec{{16}, 1}, ArraySpec{{2}, 2}}, 3, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    for (std::uint8_t p = 0; p < 6; ++p) {
        std::uint8_t big[16], small[4];
        std::memset(big, p + 1, sizeof big);
        std::memset(small, 0x80 | p, sizeof small);
        ByteSpan two[] = {{big, 16}, {small, 4}};
        ASSERT_EQ(s.insert_sync(two), InsertOutcome::Inserted);
    }
    const std::uint8_t* leaf0 = s.ring().region(0);
    for (int b = 0; b < 96; ++b) ASSERT_EQ(leaf0[b], b / 16 + 1) << "leaf 0 byte " << b;  // slot 4: bytes 64-79
    const std::uint8_t* leaf1 = s.ring().region(1);
    for (int b = 0; b < 24; ++b) ASSERT_EQ(leaf1[b], 0x80 | (b / 4)) << "leaf 1 byte " << b;

    auto first = s.sample();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->spans[1].data - leaf1, 0);
    auto second = s.sample();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->spans[0].data - leaf0, 48);
    EXPECT_EQ(second->spans[0].len, 48u);
    EXPECT_EQ(second->spans[1].data - leaf1, 12);  // batch 1 of leaf 1: bytes 12-23
    EXPECT_EQ(second->spans[1].len, 12u);
}

// Several writers insert disjoint sequence ranges while one consumer samples:
// every value arrives exactly once, intact, and batches come out in FIFO
// order (each writer's values increase from batch to batch).
TEST(StoreStress, ManyWritersOneConsumerConservation) {
    constexpr unsigned kWriters = 4;
    const std::uint64_t per_writer = ravo::testing::scaled(300'000, 30'000);
    const std::uint64_t total = per_writer * kWriters;
    constexpr std::uint64_t kBatch = 64;
    ASSERT_EQ(total % kBatch, 0u);
    auto st = make_store({ArraySpec{{}, 8}, ArraySpec{{2}, 8}}, kBatch, 3);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();

    std::vector<std::thread> writers;
    for (unsigned w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (std::uint64_t i = 0; i < per_writer; ++i) {
                const std::uint64_t v = (std::uint64_t{w} << 40) | i;
                const std::uint64_t check[2] = {~v, v * 2654435761u};
                ByteSpan spans[] = {{reinterpret_cast<const std::uint8_t*>(&v), 8},
                                    {reinterpret_cast<const std::uint8_t*>(check), 16}};
                ASSERT_EQ(s.insert_sync(spans), InsertOutcome::Inserted);
            }
        });
    }
    std::vector<std::uint64_t> next(kWriters, 0);  // next value expected from each writer
    std::vector<std::uint64_t> count(kWriters, 0);
    std::uint64_t sum = 0, seen = 0;
    while (seen < total) {
        auto v = s.sample();
        ASSERT_TRUE(v);
        for (std::uint64_t k = 0; k < v->len; ++k) {
            std::uint64_t val, c[2];
            std::memcpy(&val, v->spans[0].data + k * 8, 8);
            std::memcpy(c, v->spans[1].data + k * 16, 16);
            ASSERT_EQ(c[0], ~val);
            ASSERT_EQ(c[1], val * 2654435761u);
            const unsigned w = static_cast<unsigned>(val >> 40);
            ASSERT_LT(w, kWriters);
            const std::uint64_t i = val & ((1ull << 40) - 1);
            // A writer reserves its positions in order and batches come out
            // in position order, so each writer's values appear exactly in
            // sequence.
            ASSERT_EQ(i, next[w]);
            ++next[w];
            sum += i;
            ++count[w];
        }
        seen += v->len;
    }
    for (auto& t : writers) t.join();
    for (unsigned w = 0; w < kWriters; ++w) EXPECT_EQ(count[w], per_writer);
    EXPECT_EQ(sum, kWriters * (per_writer * (per_writer - 1) / 2));
    EXPECT_EQ(s.queue_size(), 0u);
}

// One writer: the whole sequence must come out in exact order.
TEST(StoreStress, SingleWriterKeepsExactOrder) {
    const std::uint64_t total = ravo::testing::scaled(1'000'000, 100'000);
    auto st = make_store({ArraySpec{{}, 8}}, 100, 2);
    ASSERT_TRUE(st.ok());
    Store& s = *st.value();
    std::thread writer([&] {
        for (std::uint64_t i = 0; i < total; ++i) {
            ByteSpan one[] = {{reinterpret_cast<const std::uint8_t*>(&i), 8}};
            ASSERT_EQ(s.insert_sync(one), InsertOutcome::Inserted);
        }
    });
    std::uint64_t expect = 0;
    while (expect < total) {
        auto v = s.sample();
        ASSERT_TRUE(v);
        for (std::uint64_t k = 0; k < v->len; ++k) {
            std::uint64_t val;
            std::memcpy(&val, v->spans[0].data + k * 8, 8);
            ASSERT_EQ(val, expect++);
        }
    }
    writer.join();
}

}  // namespace
}  // namespace ravo
