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
// other writer, and its DrainerMetrics record (its gauges written only by
// itself, its inserted count also by its senders' direct stores) with the
// consumer's snapshot. It suspends only while waiting for work and while
// the store is full; between a successful reservation and its commit there is
// no suspension point, so a cancelled drainer never leaves slots reserved
// and uncommitted.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ingress/queue_item.h"
#include "metrics.h"
#include "runtime/channel.h"
#include "runtime/notifier.h"
#include "runtime/task.h"
#include "store.h"

namespace ravo {

// Reusable buffers of one drainer: cleared every round, so a drainer in
// steady state allocates nothing. A round takes at most `room()` items, so
// taking never allocates: before each round the drainer grows the room to
// every registered queue's full depth (`make_room`, which allocates only
// after registrations added queues), and if memory runs out there, the round
// takes what fits and leaves the rest queued (`limited`) instead of dropping
// an item it took. Once registrations have gone, room far beyond the depth
// left is given back (`release_excess`): a storm of thousands of connections
// would otherwise pin its peak depth's lists for the server's lifetime.
struct RoundScratch {
    std::vector<TransportQueueItem> items;
    std::vector<ByteSpan> samples;
    bool limited = false;  // the last collect_round left items queued for lack of room

    // Room that is always kept: below it, giving back saves too little to
    // be worth an allocation when the next connection comes.
    static constexpr std::size_t kKeptRoom = 1024;

    std::size_t room() const noexcept { return std::min(items.capacity(), samples.capacity()); }
    // Room for `n` items, or false (and the old room) when memory ran out.
    bool reserve(std::size_t n) noexcept;
    // Room for the full depth of every queue in `handles`, or false.
    bool make_room(const std::vector<TransportHandle>& handles) noexcept;
    // Between rounds (both lists empty): when the room exceeds both
    // `kKeptRoom` and twice the full depth of `handles`, shrinks it to the
    // larger of the two. Out of memory, the old room stays.
    void release_excess(const std::vector<TransportHandle>& handles) noexcept;
};

// Copies samples[inserted..] (each leaf back to back) into the store, in
// list order, and commits them, advancing `inserted`, for as long as the ring
// has room. True when every sample is in; false when the ring is full (the
// caller waits on a space ticket taken before this call and calls again).
// Reservations never cross a batch boundary; one compare-and-swap per run.
// Never suspends and never allocates.
bool insert_available(Store& store, std::span<const ByteSpan> samples, const std::vector<std::size_t>& leaf_sizes,
                      DrainerMetrics* record, std::size_t& inserted);

// Copies `samples` (each leaf back to back) into the store, in list order,
// and commits them; waits on the store's space notifier while the ring is
// full. Reservations never cross a batch boundary.
runtime::Task<void> insert_batch(Store& store, const std::vector<ByteSpan>& samples,
                                 const std::vector<std::size_t>& leaf_sizes, DrainerMetrics* record);

// The taking half of a round, without inserting: takes from each queue what
// its depth snapshot saw (starting at queue `round` mod n), wakes each
// producer it took from once, records the depth gauges and fills
// `scratch.items` and `scratch.samples`, up to `scratch.room()` items (those
// beyond it stay queued and `scratch.limited` is set). True when it took at
// least one item. Never suspends, throws or allocates.
bool collect_round(std::vector<TransportHandle>& handles, DrainerMetrics& record, std::uint64_t round,
                   RoundScratch& scratch);

// One pass over `handles` (room made first); true when it took at least one
// item.
runtime::Task<bool> drain_round(std::vector<TransportHandle>& handles, Store& store,
                                const std::vector<std::size_t>& leaf_sizes, DrainerMetrics& record,
                                std::uint64_t round, RoundScratch& scratch);

// The task body started by the pool; runs until it sees the shutdown flag
// or is cancelled by the runtime's destruction. `leaf_sizes` are the store's
// leaf byte sizes, computed by the pool so that the task allocates nothing
// before its first registration. It never throws: out of memory it keeps
// registrations in their channel and items in their queues until it has room.
runtime::Task<void> drainer_task(std::size_t drainer_id, std::shared_ptr<Store> store,
                                 std::vector<std::size_t> leaf_sizes,
                                 runtime::ChannelReceiver<TransportHandle> registrations,
                                 std::shared_ptr<runtime::Notifier> wake, std::shared_ptr<std::atomic<bool>> shutdown_flag,
                                 std::shared_ptr<Metrics> metrics);

}  // namespace ravo
