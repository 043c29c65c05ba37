// The drainer task: moves queued samples into the store in rounds.
//
// Each drainer owns the producer queues registered with it. A round takes,
// from each queue, exactly what its depth snapshot saw (starting one queue
// further on every round, so no queue is always served first), wakes each
// producer it took from once, then inserts everything with `insert_batch`
// in as few reservations as batch boundaries and contention allow. Between
// rounds the drainer sleeps on its wake-up notifier; a registration, a push
// or the pool's shutdown wakes it.
//
// Threads: a drainer runs on the pool's runtime; its state is private. It
// shares each queue with its producer, the store's write cursor with every
// other writer, and its DrainerMetrics record (written only by itself) with
// the consumer's snapshot. It suspends only while waiting for work and while
// the store is full; between a successful reservation and its commit there is
// no suspension point, so a cancelled drainer never leaves slots reserved
// and uncommitted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ingress/queue_item.h"
#include "metrics.h"
#include "runtime/channel.h"
#include "runtime/notifier.h"
#include "runtime/task.h"
#include "store.h"

namespace ravo {

// Reusable buffers of one drainer: cleared every round, never shrunk, so a
// drainer in steady state allocates nothing.
struct RoundScratch {
    std::vector<TransportQueueItem> items;
    std::vector<ByteSpan> samples;
};

// Copies samples[inserted..] (each leaf back to back) into the store, in
// list order, and commits them, advancing `inserted`, for as long as the ring
// has room. True when every sample is in; false when the ring is full (the
// caller waits on a space ticket taken before this call and calls again).
// Reservations never cross a batch boundary; one compare-and-swap per run.
// Never suspends and never allocates.
bool insert_available(Store& store, const std::vector<ByteSpan>& samples, const std::vector<std::size_t>& leaf_sizes,
                      DrainerMetrics* record, std::size_t& inserted);

// Copies `samples` (each leaf back to back) into the store, in list order,
// and commits them; waits on the store's space notifier while the ring is
// full. Reservations never cross a batch boundary.
runtime::Task<void> insert_batch(Store& store, const std::vector<ByteSpan>& samples,
                                 const std::vector<std::size_t>& leaf_sizes, DrainerMetrics* record);

// The taking half of a round, without inserting: takes from each queue what
// its depth snapshot saw (starting at queue `round` mod n), wakes each
// producer it took from once, records the depth gauges and fills
// `scratch.items` and `scratch.samples`. True when it took at least one item.
// Never suspends; allocates only while the scratch vectors grow.
bool collect_round(std::vector<TransportHandle>& handles, DrainerMetrics& record, std::uint64_t round,
                   RoundScratch& scratch);

// One pass over `handles`; true when it took at least one item.
runtime::Task<bool> drain_round(std::vector<TransportHandle>& handles, Store& store,
                                const std::vector<std::size_t>& leaf_sizes, DrainerMetrics& record,
                                std::uint64_t round, RoundScratch& scratch);

// The task body started by the pool; runs until it sees the shutdown flag
// or is cancelled by the runtime's destruction.
runtime::Task<void> drainer_task(std::size_t drainer_id, std::shared_ptr<Store> store,
                                 runtime::ChannelReceiver<TransportHandle> registrations,
                                 std::shared_ptr<runtime::Notifier> wake, std::shared_ptr<std::atomic<bool>> shutdown_flag,
                                 std::shared_ptr<Metrics> metrics);

}  // namespace ravo
