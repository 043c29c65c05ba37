// Fixed-capacity lock-free multi-producer, multi-consumer LIFO stack.
//
// Made for pools of reusable buffers: the buffer handed out next is the one
// given back last, so it is the one most likely still in a cache. (A FIFO
// pool hands out the buffer that has waited longest, and with large buffers
// that one is always cold.)
//
// Two Treiber stacks share one array of `capacity` nodes: `full_` holds the
// nodes that carry an item, `free_` the empty ones. A push takes a node from
// `free_`, moves the item in and links the node onto `full_`; a pop does the
// reverse. Each head is a 32-bit node index with a 32-bit tag, changed by one
// 64-bit compare-and-swap that also bumps the tag, so a head that was popped
// and pushed back between a reader's load and its CAS (ABA) fails the CAS.
// Nodes are never freed while the stack lives, so reading a node's `next`
// after another thread took it is harmless: the value is then discarded by
// the failing CAS.
//
// Contract:
// - `try_push`, `try_pop` may be called from any number of threads at once;
//   neither blocks. A full stack hands the item back; an empty one gives
//   nothing.
// - Capacity is fixed between 1 and 2^32 - 2.
// - The destructor runs with no concurrent calls and destroys the items
//   still held.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/padded.h"

namespace ravo::runtime {

template <typename T>
class BoundedStack {
    // push and pop are noexcept and move items in and out of claimed nodes: a
    // throwing move would end the process.
    static_assert(std::is_nothrow_move_constructible_v<T>, "stacked items must be nothrow-movable");

public:
    // Precondition: 1 <= capacity < kNil (checked; anything else ends the
    // process with a message: it is a programming error).
    explicit BoundedStack(std::size_t capacity) : capacity_(checked(capacity)), nodes_(new Node[capacity_]) {
        for (std::uint32_t i = 0; i + 1 < capacity_; ++i) nodes_[i].next.store(i + 1, std::memory_order_relaxed);
        nodes_[capacity_ - 1].next.store(kNil, std::memory_order_relaxed);
        free_.value.store(pack(0, 0), std::memory_order_relaxed);
        full_.value.store(pack(kNil, 0), std::memory_order_relaxed);
    }

    BoundedStack(const BoundedStack&) = delete;
    BoundedStack& operator=(const BoundedStack&) = delete;

    ~BoundedStack() {
        // No concurrent calls: relaxed loads see the final links.
        for (std::uint32_t i = index(full_.value.load(std::memory_order_relaxed)); i != kNil;
             i = nodes_[i].next.load(std::memory_order_relaxed)) {
            nodes_[i].item()->~T();
        }
    }

    // Returns nothing on success; hands `item` back when the stack is full.
    std::optional<T> try_push(T item) noexcept {
        const std::uint32_t node = take(free_);
        if (node == kNil) return std::optional<T>(std::move(item));
        // The node is ours alone between the two stacks.
        ::new (static_cast<void*>(nodes_[node].storage)) T(std::move(item));
        put(full_, node);
        // Relaxed: a gauge for size(); pairs with nothing.
        size_.value.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    }

    // The item pushed last, or nothing when the stack is empty.
    std::optional<T> try_pop() noexcept {
        const std::uint32_t node = take(full_);
        if (node == kNil) return std::nullopt;
        T* item = nodes_[node].item();
        std::optional<T> out(std::move(*item));
        item->~T();
        put(free_, node);
        // Relaxed: as in try_push. May dip below zero for a moment (a pop
        // counted before its push): size() clamps.
        size_.value.fetch_sub(1, std::memory_order_relaxed);
        return out;
    }

    // Items held; exact when no call is in progress, otherwise within
    // [0, capacity] but possibly behind.
    std::size_t size() const noexcept {
        const std::int64_t n = size_.value.load(std::memory_order_relaxed);  // a gauge, as above
        if (n < 0) return 0;
        return n > static_cast<std::int64_t>(capacity_) ? capacity_ : static_cast<std::size_t>(n);
    }

    std::size_t capacity() const noexcept { return capacity_; }

private:
    static constexpr std::uint32_t kNil = 0xffffffffu;

    struct Node {
        // Written while the node is unlinked (by its sole owner) or before
        // the stack is shared; read by poppers that may lose the race, hence
        // atomic. Relaxed: the head's release/acquire orders it.
        std::atomic<std::uint32_t> next{kNil};
        alignas(T) unsigned char storage[sizeof(T)];
        T* item() noexcept { return std::launder(reinterpret_cast<T*>(storage)); }
    };

    static std::uint64_t pack(std::uint32_t idx, std::uint32_t tag) noexcept {
        return (static_cast<std::uint64_t>(tag) << 32) | idx;
    }
    static std::uint32_t index(std::uint64_t head) noexcept { return static_cast<std::uint32_t>(head); }
    static std::uint32_t tag(std::uint64_t head) noexcept { return static_cast<std::uint32_t>(head >> 32); }

    // Unlinks the top node of `head`'s stack; kNil when it is empty.
    std::uint32_t take(Padded<std::atomic<std::uint64_t>>& head) noexcept {
        // acquire: pairs with put()'s release CAS, so the node's `next` and
        // payload written before it was linked are visible.
        std::uint64_t top = head.value.load(std::memory_order_acquire);
        for (;;) {
            const std::uint32_t idx = index(top);
            if (idx == kNil) return kNil;
            // relaxed: a stale value fails the CAS below (the tag moved).
            const std::uint32_t next = nodes_[idx].next.load(std::memory_order_relaxed);
            // acquire on both outcomes, as for the load above.
            if (head.value.compare_exchange_weak(top, pack(next, tag(top) + 1), std::memory_order_acquire,
                                                 std::memory_order_acquire)) {
                return idx;
            }
        }
    }

    // Links `idx`, owned by the caller, on top of `head`'s stack.
    void put(Padded<std::atomic<std::uint64_t>>& head, std::uint32_t idx) noexcept {
        // relaxed: the CAS below re-reads on failure.
        std::uint64_t top = head.value.load(std::memory_order_relaxed);
        for (;;) {
            nodes_[idx].next.store(index(top), std::memory_order_relaxed);
            // release: publishes `next` and the payload to the taker's
            // acquire; relaxed on failure (nothing read is used).
            if (head.value.compare_exchange_weak(top, pack(idx, tag(top) + 1), std::memory_order_release,
                                                 std::memory_order_relaxed)) {
                return;
            }
        }
    }

    static std::uint32_t checked(std::size_t capacity) {
        if (capacity == 0 || capacity >= kNil) {
            std::fprintf(stderr, "ravo runtime: BoundedStack capacity must be in [1, 2^32 - 2]\n");
            std::abort();
        }
        return static_cast<std::uint32_t>(capacity);
    }

    const std::uint32_t capacity_;
    std::unique_ptr<Node[]> nodes_;
    // Each head on its own block: pushers (drainers) and the popper (the
    // connection) hit them from different cores.
    Padded<std::atomic<std::uint64_t>> full_;
    Padded<std::atomic<std::uint64_t>> free_;
    Padded<std::atomic<std::int64_t>> size_;
};

}  // namespace ravo::runtime
