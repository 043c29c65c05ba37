// The producer side of one bounded producer queue.
//
// A `SampleSender` is owned by exactly one producer (for TCP, one connection
// task) and never copied. It offers the sender's buffer pool (take a free
// buffer, wrap a filled one into an item) and `push`, which completes once
// the item is in the queue, waiting on the sender's space notifier while the
// queue is full. Every failed attempt counts in `push_blocked_count`; every
// successful push wakes the queue's drainer once.
//
// A sender made by a drainer pool may also store samples itself
// (`try_store`): while none of its queued samples waits to be stored, the
// producer copies the next ones straight into the ring, as the drainer would
// (same reservations, same commit, counted in the drainer's record). The
// copy then runs on the thread that just received the sample, while its
// bytes are still in that CPU's caches, and the queue, the drainer's wake-up
// and the second pass over the bytes are skipped. Once the ring is full the
// sender queues again, and stores directly only after the drainer has
// stored everything it queued; so each sender's samples reach the ring in
// the order they were given, and backpressure is the same as through the
// queue alone.
//
// The same conditions let a transport receive samples straight into the
// ring (`try_reserve`, `segments`, `commit`): it reserves slots for whole
// samples it already holds, has them written in place, and commits them,
// with no wait in between, so the reserved batch is never held up.
//
// Destroying the sender marks the queue closed (the drainer drains it once
// more and drops the registration after its next round) and decrements
// `active_connections`. It does not wake the drainer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <sys/uio.h>
#include <vector>

#include "ingress/queue_item.h"
#include "metrics.h"
#include "runtime/notifier.h"
#include "runtime/task.h"
#include "store.h"

namespace ravo {

// What a sender needs to store samples without its drainer. Empty (no
// store) for a sender that only queues.
struct DirectStore {
    std::shared_ptr<Store> store;
    std::shared_ptr<const std::vector<std::size_t>> leaf_sizes;  // the store's leaf byte sizes
    // The record of the drainer the sender is registered with: the samples
    // stored here count there, as if that drainer had stored them. Kept
    // alive by the sender's share of the metrics.
    DrainerMetrics* record = nullptr;
    // The drainer pool's shutdown flag: after it, nothing is stored here.
    std::shared_ptr<std::atomic<bool>> shutdown_flag;
};

class SampleSender {
public:
    SampleSender(std::shared_ptr<ProducerQueue> queue, std::shared_ptr<runtime::Notifier> space_notify,
                 std::shared_ptr<runtime::Notifier> drainer_notify, std::shared_ptr<Metrics> metrics,
                 std::shared_ptr<BufferPool> buffer_pool, std::shared_ptr<std::atomic<bool>> closed,
                 DirectStore direct = {}) noexcept;
    SampleSender(SampleSender&&) noexcept = default;
    SampleSender& operator=(SampleSender&&) = delete;
    SampleSender(const SampleSender&) = delete;
    ~SampleSender();

    // A free buffer from the pool, or nothing when the pool is empty (the
    // producer then allocates a zero-filled one of the sample size).
    std::optional<SampleBuffer> take_buffer() noexcept { return buffer_pool_->try_pop(); }
    // A buffer from the pool, or a new zero-filled one of `len` bytes.
    SampleBuffer take_or_allocate(std::size_t len);
    // Wraps a filled buffer with a share of this sender's pool.
    TransportQueueItem make_item(SampleBuffer buffer) const noexcept { return {std::move(buffer), buffer_pool_}; }

    // Stores the filled `buffers` (each one whole sample) into the ring, in
    // order, when no sample of this sender waits in its queue or in a
    // drainer's round, and for as long as the ring has room; returns how
    // many it stored, from the front. Those go back to the pool (the
    // entries are left empty); the rest must be pushed, in order. 0 when
    // the sender cannot store directly, or after the drainer pool's or the
    // store's shutdown. Never waits, never allocates.
    std::size_t try_store(std::span<SampleBuffer> buffers) noexcept;

    // Slots reserved for receiving samples in place: `count` whole samples
    // from write position `first`.
    using SlotRun = Store::Run;
    // Segments that describe one sample's slot memory: its leaves that have
    // bytes, in leaf order. 0 for a sender that cannot store directly.
    std::size_t segments_per_sample() const noexcept { return direct_.store ? segments_per_sample_ : 0; }
    // Reserves the slots of 1 to `max_samples` whole samples, under the
    // conditions of try_store, and never past the free room or a batch
    // boundary; nothing when those conditions fail or the ring is full. The
    // caller must commit the run, from the same thread and without waiting
    // for anything in between: the batch cannot complete before that.
    std::optional<SlotRun> try_reserve(std::size_t max_samples) noexcept;
    // The run's memory in stream order (sample by sample, each leaf with
    // bytes in leaf order) into `out`, which must hold segments_per_sample()
    // x run.count entries; returns how many it wrote.
    std::size_t segments(const SlotRun& run, std::span<iovec> out) const noexcept;
    // Publishes a reserved run whose slots have been written; it counts in
    // the drainer's record, as try_store's samples do.
    void commit(const SlotRun& run) noexcept;

    // One attempt: true when the item is queued (the drainer is woken);
    // false when the queue was full, with the item handed back in place and
    // `push_blocked_count` counted.
    bool try_push(TransportQueueItem& item) noexcept;

    // Asynchronous push: completes once the item is queued. Never fails, no
    // time-out; cancelled only by destroying the awaiting task.
    runtime::Task<void> push(TransportQueueItem item);
    // The same for a plain thread: blocks until the item is queued.
    void push_blocking(TransportQueueItem item);

    runtime::Notifier& space_notify() const noexcept { return *space_notify_; }
    const ProducerQueue& queue() const noexcept { return *queue_; }

private:
    // Neither pool nor store shut down, and no sample of this sender waits
    // in its queue or in a drainer's round.
    bool may_store_directly() const noexcept;

    std::shared_ptr<ProducerQueue> queue_;
    std::shared_ptr<runtime::Notifier> space_notify_;
    std::shared_ptr<runtime::Notifier> drainer_notify_;
    std::shared_ptr<Metrics> metrics_;
    std::shared_ptr<BufferPool> buffer_pool_;
    std::shared_ptr<std::atomic<bool>> closed_;
    DirectStore direct_;
    std::size_t segments_per_sample_ = 0;
};

}  // namespace ravo
