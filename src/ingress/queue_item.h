// What travels between a producer and its drainer: sample buffers, the
// per-producer buffer pool that recycles them, the queued item, and the
// drainer's registration of one producer queue.
//
// A sample buffer holds one whole sample (every leaf back to back, in leaf
// order) and always has the sample size as its length. Buffers circulate:
// producer fills one -> item in the producer queue -> drainer copies it into
// the store -> destroying the item returns the buffer to its sender's pool ->
// producer takes it again. A sender never owns more buffers than its pool
// holds, so in steady state nothing is allocated.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <memory>
#include <utility>

#include "runtime/bounded_queue.h"
#include "runtime/bounded_stack.h"
#include "runtime/notifier.h"

namespace ravo {

// One owned, fixed-length byte buffer.
class SampleBuffer {
public:
    SampleBuffer() noexcept = default;
    // A new zero-filled buffer of `len` bytes, from the allocator's zeroing
    // call: a large buffer costs no resident memory until it is written, so
    // an idle connection's receive buffer is nearly free.
    static SampleBuffer zeroed(std::size_t len) {
        SampleBuffer b;
        void* mem = std::calloc(1, len == 0 ? 1 : len);
        if (mem == nullptr) throw std::bad_alloc();
        b.data_.reset(static_cast<std::uint8_t*>(mem));
        b.len_ = len;
        return b;
    }
    SampleBuffer(SampleBuffer&& o) noexcept : data_(std::move(o.data_)), len_(std::exchange(o.len_, 0)) {}
    SampleBuffer& operator=(SampleBuffer&& o) noexcept {
        data_ = std::move(o.data_);
        len_ = std::exchange(o.len_, 0);
        return *this;
    }

    std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return len_; }
    explicit operator bool() const noexcept { return static_cast<bool>(data_); }

private:
    struct Free {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t len_ = 0;
};

// Free buffers of one sender; capacity 2 * queue capacity + 1, the most
// buffers one sender can have alive at once (a full queue, a full drainer
// round, one being filled). Last in, first out: the buffer taken next is the
// one the drainer finished with last, still in a cache, rather than the one
// that has waited longest (with large samples a FIFO pool makes both the
// socket's copy into the buffer and the drainer's copy out of it run from
// memory).
using BufferPool = runtime::BoundedStack<SampleBuffer>;

// One queued sample. Destroying it moves its buffer back into the pool of
// the sender that produced it (freed instead if the pool is full).
class TransportQueueItem {
public:
    TransportQueueItem(SampleBuffer buffer, std::shared_ptr<BufferPool> pool) noexcept
        : buffer_(std::move(buffer)), buffer_pool_(std::move(pool)) {}
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
    void recycle() noexcept {
        if (buffer_ && buffer_pool_) {
            // A full pool hands the buffer back; it is freed with the optional.
            (void)buffer_pool_->try_push(std::move(buffer_));
        }
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
