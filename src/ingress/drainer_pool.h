// The hand-off point between producers and the store.
//
// The pool owns a private task runtime whose `num_drainers` "drainer" worker
// threads run one drainer task each. Every producer gets a bounded queue of
// its own from `new_sender`, registered with exactly one drainer in strict
// round-robin order; the producer fills it through its SampleSender and the
// drainer empties it into the store. While its queue is empty and the ring
// has room, a producer stores its samples itself (sample_sender.h), so the
// queues and drainers carry what waits for room.
//
// Threads: `new_sender` from any thread, concurrently (the transport's
// threads); `create`, `shutdown` and the last release from Python threads.
// The pool takes no locks of its own.
//
// Lifecycle: drainers start at creation. `shutdown` sets the flag and wakes
// every drainer, which ends at the top of its loop (items still in producer
// queues are discarded). Destroying the pool destroys its runtime first:
// every suspended task is cancelled at its wait point and the worker threads
// are joined, blocking the releasing thread until they have stopped.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "ingress/queue_item.h"
#include "ingress/sample_sender.h"
#include "metrics.h"
#include "result.h"
#include "runtime/channel.h"
#include "runtime/notifier.h"
#include "runtime/runtime.h"
#include "store.h"

namespace ravo {

class DrainerPool {
public:
    // Refuses num_drainers 0 ("num_drainers must be > 0") and queue size 0
    // ("producer_queue_size must be > 0"); a runtime that cannot be built
    // gives "failed to build drainer runtime: " and the system's text.
    // `metrics` must hold at least num_drainers drainer records.
    static Result<std::shared_ptr<DrainerPool>> create(std::shared_ptr<Store> store, std::size_t num_drainers,
                                                       std::size_t producer_queue_size,
                                                       std::shared_ptr<Metrics> metrics);
    ~DrainerPool();
    DrainerPool(const DrainerPool&) = delete;
    DrainerPool& operator=(const DrainerPool&) = delete;

    // A new producer queue, registered with the next drainer in round-robin
    // order (also after shutdown, when nothing will drain it).
    SampleSender new_sender();

    void shutdown();

    std::size_t num_drainers() const noexcept { return notifiers_.size(); }
    std::size_t queue_capacity() const noexcept { return queue_capacity_; }
    // Drainer tasks that have not ended (diagnostics and tests).
    std::size_t live_drainers() const { return runtime_->live_tasks(); }
    // The free buffers every sender shares (tests).
    const SharedBuffers& shared_buffers() const noexcept { return *shared_buffers_; }

private:
    DrainerPool() = default;

    std::unique_ptr<runtime::Runtime> runtime_;
    std::vector<runtime::ChannelSender<TransportHandle>> registrations_;
    std::vector<std::shared_ptr<runtime::Notifier>> notifiers_;
    std::shared_ptr<std::atomic<bool>> shutdown_flag_;
    std::shared_ptr<Metrics> metrics_;
    // Round-robin counter; relaxed fetch_add: only the value matters.
    std::atomic<std::size_t> next_drainer_{0};
    std::size_t queue_capacity_ = 0;
    // Free buffers shared by every sender, in front of their own pools
    // (buffer_pool.h); each sender's pool holds a share.
    std::shared_ptr<SharedBuffers> shared_buffers_;
    // For the senders' direct stores (sample_sender.h).
    std::shared_ptr<Store> store_;
    std::shared_ptr<const std::vector<std::size_t>> leaf_sizes_;
};

}  // namespace ravo
