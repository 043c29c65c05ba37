// The meeting point of producers and the consumer.
//
// The store owns the ring (slot memory), the FIFO selector and the remover,
// and a shared write cursor. Producers reserve positions with a
// compare-and-swap on the cursor, copy their sample into the reserved slots
// and commit them to the selector; the one consumer takes complete batches in
// FIFO order and gives each back when it asks for the next. The writer never
// laps the reader: read_pos <= write cursor <= read_pos + capacity, so a full
// ring makes producers wait and no sample is ever overwritten or dropped.
//
// Threads: any number of producers (Python threads in insert_sync, drainer
// tasks in insert_batch) at once; one consumer at a time in sample /
// give_back / select_for; shutdown from any thread. No lock except the
// selector's, taken once per completed batch.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "array_spec.h"
#include "result.h"
#include "ring_buf.h"
#include "runtime/notifier.h"
#include "runtime/padded.h"
#include "selector.h"

namespace ravo {

// One leaf's bytes: a source for insertion or a span of a handed-out batch.
struct ByteSpan {
    const std::uint8_t* data;
    std::uint64_t len;
};

// A handed-out batch: one span per leaf, in leaf order, pointing into the
// ring; valid until the next sample call on the same store begins.
struct ConsumerView {
    std::vector<ByteSpan> spans;
    std::uint64_t len = 0;
};

enum class InsertOutcome { Inserted, ShutDown, TimedOut };

class Store {
public:
    // The construction checks, in order: num_batches >= 2; the ring's
    // checks; then products that overflowed 64 bits (batch_size *
    // num_batches, a leaf's byte size, a region size). Allocates nothing, so
    // a caller that must allocate other parts first can run them before
    // those allocations: with absurd sizes an allocation would otherwise
    // fail, or take seconds, before the check that names the real fault.
    static Status check(const std::vector<ArraySpec>& specs, std::uint64_t batch_size, std::uint64_t num_batches);

    // check(), then allocates the ring. On failure everything passed in is
    // released. `for_pinning` asks for a ring that can be page-locked
    // (see PytreeRingBuf::create).
    static Result<std::unique_ptr<Store>> create(std::vector<ArraySpec> specs, std::uint64_t batch_size,
                                                std::uint64_t num_batches, std::unique_ptr<Sampler> sampler,
                                                std::unique_ptr<Remover> remover, bool for_pinning = false);

    // Synchronous insert of one sample, one source span per leaf (fewer spans
    // than leaves, or shorter spans, leave the rest of the slot as it was; the
    // caller guarantees no span is longer than its leaf). Busy-waits while the
    // ring is full: spins with the pause hint for a short while, then yields
    // the CPU between attempts. Gives up with ShutDown when it finds the ring
    // full after shutdown, and with TimedOut at `deadline`; either way nothing
    // was reserved.
    InsertOutcome insert_sync_until(std::span<const ByteSpan> arrays,
                                    std::chrono::steady_clock::time_point deadline);
    // The same without a deadline.
    InsertOutcome insert_sync(std::span<const ByteSpan> arrays);
    // The same without waiting at all: TimedOut at once when the ring is full.
    InsertOutcome try_insert(std::span<const ByteSpan> arrays);

    // Gives back the previous batch, blocks for the next and returns its view;
    // nothing after shutdown once the head batch is incomplete.
    std::optional<ConsumerView> sample();

    // The two halves of sample, for a consumer that waits in slices:
    // give_back() releases the outstanding batch (if any) exactly once;
    // select_for() waits at most `timeout` for the head batch.
    void give_back();
    SelectWait select_for(std::chrono::nanoseconds timeout, ConsumerView& out);

    // The selector's shutdown, then a wake-all of the space notifier.
    void shutdown();
    bool is_shut_down() const noexcept { return shut_down_.load(std::memory_order_acquire); }

    std::uint64_t queue_size() const { return sampler_->queue_size(); }

    // Batches handed out so far. Each was complete when it was selected, so
    // this is a floor for the number of completed batches that holds the
    // moment a batch is selected, whereas the completing writer counts the
    // completion only after its counter add (it may be preempted between the
    // two). Consumer thread only.
    std::uint64_t batches_handed_out() const noexcept { return handed_out_.load(std::memory_order_relaxed); }

    // A run of positions reserved at the write cursor.
    struct Run {
        std::uint64_t first = 0;
        std::uint64_t count = 0;
    };
    // Reserves 1 to `max` positions in one compare-and-swap: never past the
    // free room, never across a batch boundary. A count of 0 when the ring
    // is full (or `max` is 0). The caller copies into the run's slots and
    // commits it with sampler().commit_batch, with no wait in between: the
    // batch cannot complete before that. Never blocks.
    Run reserve_run(std::uint64_t max) noexcept;

    // Read access for the drainers' batch insertion.
    const std::vector<ArraySpec>& specs() const noexcept { return specs_; }
    std::uint64_t batch_size() const noexcept { return batch_size_; }
    std::uint64_t capacity() const noexcept { return capacity_; }
    PytreeRingBuf& ring() noexcept { return *ring_; }
    const PytreeRingBuf& ring() const noexcept { return *ring_; }
    Sampler& sampler() noexcept { return *sampler_; }
    Remover& remover() noexcept { return *remover_; }
    runtime::Notifier& space_notify() noexcept { return space_notify_; }
    std::atomic<std::uint64_t>& write_cursor() noexcept { return write_cursor_.value; }

private:
    Store() = default;
    void build_view(const Selection& sel, ConsumerView& out) const;
    void copy_sample(std::uint64_t pos, std::span<const ByteSpan> arrays);

    // Number of positions ever reserved. Writers CAS it (acq_rel); the
    // ordering that matters is against read_pos: see give_back().
    PaddedU64 write_cursor_;
    runtime::Notifier space_notify_;  // wake-all: drainers waiting for room
    std::unique_ptr<Sampler> sampler_;
    std::unique_ptr<Remover> remover_;
    std::uint64_t batch_size_ = 0;
    std::uint64_t capacity_ = 0;
    std::unique_ptr<PytreeRingBuf> ring_;
    std::vector<ArraySpec> specs_;
    // Set by a hand-out, cleared by the give-back; touched only by the one
    // consumer (relaxed is enough; it is atomic so that a misuse from two
    // threads is a race on a flag, not undefined behaviour).
    std::atomic<bool> batch_outstanding_{false};
    // Written and read by the one consumer, as batch_outstanding_.
    std::atomic<std::uint64_t> handed_out_{0};
    std::atomic<bool> shut_down_{false};  // release store in shutdown, acquire loads
};

}  // namespace ravo
