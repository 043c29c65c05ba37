// Free sample buffers: each sender's own pool, and the stack that every
// sender of one drainer pool shares in front of the own pools.
//
// Buffers circulate: a connection fills one, the item waits in its producer
// queue, the drainer copies it into the store, and destroying the item gives
// the buffer back. Every buffer of one drainer pool has the same length (the
// transport's sample size), so any sender can take any of them.
//
// - A sender's own pool holds up to 2 x queue capacity + 1 buffers, the most
//   that one sender can have alive at once (a full queue, a full drainer
//   round, one being filled), so a sender that finds no free buffer
//   allocates only while its working set grows, never in steady state.
// - The shared stack comes first: a returned buffer goes there, and a sender
//   takes from there before its own pool. With many connections a sender's
//   own buffers wait for its next turn while the drainer copies the other
//   connections' samples, and have left the caches by then; the buffer the
//   drainer finished with last, whichever sender it came from, is still
//   cached for both the socket's copy into it and the drainer's copy out.
// - Both are last in, first out, for the same reason.
//
// Bounds: the shared stack keeps at most the sum of the live own pools'
// capacities (its allowance), as many as the own pools could keep; a buffer
// given back beyond that is freed. An own pool takes a buffer only when the
// shared stack has no free node left (more senders than its fixed node
// count covers), so no sender allocates in steady state either way.
//
// A sender's pool also counts the items made from its buffers that are not
// yet stored (queued, or in a drainer's round until that round's commit). A
// connection may put samples into the store itself only while that count is
// zero: then every earlier sample of the sender is already in the ring, so
// storing directly keeps the sender's order.
//
// Threads: every call may come from any thread at once; nothing blocks.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "ingress/sample_buffer.h"
#include "runtime/bounded_stack.h"
#include "runtime/padded.h"

namespace ravo {

class SharedBuffers {
public:
    // `nodes`: the most buffers the stack can hold, whatever the allowance.
    explicit SharedBuffers(std::size_t nodes) : stack_(nodes) {}

    std::optional<SampleBuffer> try_pop() noexcept { return stack_.try_pop(); }

    // Keeps `buffer`, or frees it when the stack already holds its allowance;
    // hands it back only when every node is in use.
    std::optional<SampleBuffer> try_push(SampleBuffer buffer) noexcept {
        // Relaxed: a bound, not a hand-off; pairs with grant/revoke's
        // read-modify-writes, and a stale value only moves the bound by
        // the buffers in flight at that moment.
        if (stack_.size() >= allowance_.load(std::memory_order_relaxed)) return std::nullopt;
        return stack_.try_push(std::move(buffer));
    }

    // An own pool of `n` buffers joined.
    void grant(std::size_t n) noexcept {
        allowance_.fetch_add(n, std::memory_order_relaxed);  // a bound only, as above
    }

    // An own pool of `n` buffers went: frees the idle buffers beyond the
    // allowance that is left.
    void revoke(std::size_t n) noexcept {
        const std::size_t left = allowance_.fetch_sub(n, std::memory_order_relaxed) - n;  // as above
        while (stack_.size() > left) {
            if (!stack_.try_pop()) break;  // the popped buffer is freed here
        }
    }

    std::size_t size() const noexcept { return stack_.size(); }
    std::size_t allowance() const noexcept { return allowance_.load(std::memory_order_relaxed); }

private:
    runtime::BoundedStack<SampleBuffer> stack_;
    // Sum of the capacities of the own pools alive; changed only by their
    // construction and destruction.
    std::atomic<std::size_t> allowance_{0};
};

// One sender's pool, in front of which the drainer pool's shared stack (if
// any) comes first.
class BufferPool {
public:
    explicit BufferPool(std::size_t capacity, std::shared_ptr<SharedBuffers> shared = nullptr)
        : own_(capacity), shared_(std::move(shared)) {
        if (shared_) shared_->grant(own_.capacity());
    }
    ~BufferPool() {
        if (shared_) shared_->revoke(own_.capacity());
    }
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A free buffer, the shared stack's first; nothing when both are empty.
    std::optional<SampleBuffer> try_pop() noexcept {
        if (shared_) {
            if (auto b = shared_->try_pop()) return b;
        }
        return own_.try_pop();
    }

    // Keeps `buffer` (in the shared stack, or in this pool when the shared
    // stack has no node free), frees it when the shared stack is at its
    // allowance, and hands it back when this pool is full too.
    std::optional<SampleBuffer> try_push(SampleBuffer buffer) noexcept {
        if (shared_) {
            auto back = shared_->try_push(std::move(buffer));
            if (!back) return std::nullopt;
            buffer = std::move(*back);
        }
        return own_.try_push(std::move(buffer));
    }

    // Buffers in this sender's own pool (not the shared stack).
    std::size_t size() const noexcept { return own_.size(); }

    // An item was made from one of this sender's buffers. Called only by the
    // sender's owner, before the item is pushed.
    void item_made() noexcept {
        // Relaxed: the owner alone increments, and its own later load reads
        // its own write; the drainer only ever decrements what was pushed.
        unstored_.value.fetch_add(1, std::memory_order_relaxed);
    }
    // An item of this sender went: stored (its round committed), or dropped.
    void item_gone() noexcept {
        // Release: pairs with all_stored's acquire, so that a connection
        // that sees zero also sees the commits of every earlier sample.
        unstored_.value.fetch_sub(1, std::memory_order_release);
    }
    // True when no item of this sender waits to be stored. Meaningful to the
    // sender's owner only, who alone could make the count grow.
    bool all_stored() const noexcept { return unstored_.value.load(std::memory_order_acquire) == 0; }

private:
    runtime::BoundedStack<SampleBuffer> own_;
    std::shared_ptr<SharedBuffers> shared_;
    // Items made and not yet gone. Incremented by the connection per queued
    // sample and decremented by the drainer per stored one: its own block.
    Padded<std::atomic<std::size_t>> unstored_;
};

}  // namespace ravo
