// What travels between a producer and its drainer: the queued item and the
// drainer's registration of one producer queue.
//
// Buffers circulate: producer fills one -> item in the producer queue ->
// drainer copies it into the store -> destroying the item gives the buffer
// back to its sender's pool (buffer_pool.h) and counts it stored -> a
// producer takes it again. A sender never has more buffers alive than its
// pool can hold, so in steady state nothing is allocated.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "ingress/buffer_pool.h"
#include "runtime/bounded_queue.h"
#include "runtime/notifier.h"

namespace ravo {

// One queued sample. Destroying it gives its buffer back to the pool of the
// sender that produced it (freed instead if there is no room for it) and
// tells that pool the item is gone: the drainer destroys an item only after
// the commit of the run that stored it.
class TransportQueueItem {
public:
    TransportQueueItem(SampleBuffer buffer, std::shared_ptr<BufferPool> pool) noexcept
        : buffer_(std::move(buffer)), buffer_pool_(std::move(pool)) {
        if (buffer_pool_) buffer_pool_->item_made();
    }
    TransportQueueItem(TransportQueueItem&&) noexcept = default;
    TransportQueueItem& operator=(TransportQueueItem&& o) noexcept {
        if (this != &o) {
            recycle();
            buffer_ = std::move(o.buffer_);
            buffer_pool_ = std::move(o.buffer_pool_);
        }
        return *this;
    }
    ~TransportQueueItem() { recycle(); }

    const SampleBuffer& buffer() const noexcept { return buffer_; }

private:
    // A moved-from item has no pool and counts nothing.
    void recycle() noexcept {
        if (!buffer_pool_) return;
        if (buffer_) {
            // A full pool hands the buffer back; it is freed with the optional.
            (void)buffer_pool_->try_push(std::move(buffer_));
        }
        buffer_pool_->item_gone();
        buffer_pool_.reset();
    }

    SampleBuffer buffer_;
    std::shared_ptr<BufferPool> buffer_pool_;
};

// A producer's bounded queue: its only producer is the sender's owner, its
// only consumer the drainer it is registered with.
using ProducerQueue = runtime::BoundedQueue<TransportQueueItem>;

// A drainer's registration of one producer queue.
struct TransportHandle {
    std::shared_ptr<ProducerQueue> queue;
    std::shared_ptr<runtime::Notifier> space_notify;  // woken after the drainer took items
    // Set (release) by the sender's destruction after its last push; the
    // drainer's acquire load then sees every item that sender queued.
    std::shared_ptr<std::atomic<bool>> closed;
};

}  // namespace ravo
