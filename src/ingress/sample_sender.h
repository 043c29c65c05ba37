// The producer side of one bounded producer queue.
//
// A `SampleSender` is owned by exactly one producer (for TCP, one connection
// task) and never copied. It offers the sender's buffer pool (take a free
// buffer, wrap a filled one into an item) and `push`, which completes once
// the item is in the queue, waiting on the sender's space notifier while the
// queue is full. Every failed attempt counts in `push_blocked_count`; every
// successful push wakes the queue's drainer once.
//
// Destroying the sender marks the queue closed (the drainer drains it once
// more and drops the registration after its next round) and decrements
// `active_connections`. It does not wake the drainer.
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "ingress/queue_item.h"
#include "metrics.h"
#include "runtime/notifier.h"
#include "runtime/task.h"

namespace ravo {

class SampleSender {
public:
    SampleSender(std::shared_ptr<ProducerQueue> queue, std::shared_ptr<runtime::Notifier> space_notify,
                 std::shared_ptr<runtime::Notifier> drainer_notify, std::shared_ptr<Metrics> metrics,
                 std::shared_ptr<BufferPool> buffer_pool, std::shared_ptr<std::atomic<bool>> closed) noexcept;
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
    std::shared_ptr<ProducerQueue> queue_;
    std::shared_ptr<runtime::Notifier> space_notify_;
    std::shared_ptr<runtime::Notifier> drainer_notify_;
    std::shared_ptr<Metrics> metrics_;
    std::shared_ptr<BufferPool> buffer_pool_;
    std::shared_ptr<std::atomic<bool>> closed_;
};

}  // namespace ravo
