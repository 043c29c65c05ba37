// Fixed-capacity lock-free multi-producer, multi-consumer FIFO queue.
//
// A ring of `capacity` cells, each with a sequence number (the bounded MPMC
// scheme of D. Vyukov, with doubled sequence values). For position p (an
// ever-growing 64-bit counter) the cell is p mod capacity; its sequence says
// whose turn it is:
//   seq == 2p                 free for the producer of position p,
//   seq == 2p + 1             holds the item of position p, for its consumer,
//   seq == 2(p + capacity)    consumed; free for the producer of p + capacity.
// Doubling keeps "holds p" (odd) distinct from "free for p + 1" (even), which
// the plain scheme confuses when capacity is 1. A producer claims position p
// by advancing the enqueue counter with a compare-and-swap, constructs the
// item, then publishes it by storing seq = 2p + 1 (release); a consumer
// claims p on the dequeue counter once it sees seq == 2p + 1 (acquire),
// moves the item out and frees the cell with seq = 2(p + capacity)
// (release). Any capacity >= 1 works; the exact capacity given is the number
// of items the queue holds.
//
// Contract:
// - `try_push`, `try_pop`, `size` may be called from any number of threads at
//   once; none blocks, allocates or makes a syscall.
// - `try_push` hands the item back when the queue is full; `try_pop` returns
//   nothing when it is empty. Both may report full/empty while another
//   thread is halfway through the opposite operation on the cell concerned.
// - Pushing publishes everything the producer wrote before the push to the
//   consumer that pops the item.
// - Items still queued when the queue is destroyed are destroyed with it.
//   Destruction must not overlap any other call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "result.h"
#include "runtime/padded.h"

namespace ravo::runtime {

template <typename T>
class BoundedQueue {
    // A producer that has claimed a cell must be able to fill it: a throwing
    // move would leave a claimed cell that no consumer could ever pass.
    static_assert(std::is_nothrow_move_constructible_v<T>, "queued items must be nothrow-movable");

public:
    // Refuses capacity 0 (config error "queue capacity must be > 0") and
    // reports an allocation failure instead of throwing.
    static Result<std::shared_ptr<BoundedQueue>> create(std::size_t capacity) {
        if (capacity == 0) return Error::config("queue capacity must be > 0");
        try {
            return std::make_shared<BoundedQueue>(capacity);
        } catch (const std::bad_alloc&) {
            return Error::memory("cannot allocate a queue of " + std::to_string(capacity) + " items");
        }
    }

    // Precondition: capacity >= 1 (checked; 0 ends the process with a
    // message). Throws std::bad_alloc when the cells cannot be allocated.
    explicit BoundedQueue(std::size_t capacity) : capacity_(checked(capacity)), cells_(new Cell[capacity]) {
        for (std::size_t i = 0; i < capacity_; ++i) {
            // relaxed: the queue is published to other threads by whatever
            // hands them the pointer (a mutex, a thread start, a shared_ptr
            // passed through a channel), which orders these stores.
            cells_[i].seq.store(2 * std::uint64_t{i}, std::memory_order_relaxed);
        }
    }

    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    ~BoundedQueue() {
        // No concurrent calls: relaxed loads see the final values.
        const std::uint64_t end = enqueue_pos_.value.load(std::memory_order_relaxed);
        for (std::uint64_t pos = dequeue_pos_.value.load(std::memory_order_relaxed); pos != end; ++pos) {
            Cell& cell = cells_[pos % capacity_];
            if (cell.seq.load(std::memory_order_relaxed) == 2 * pos + 1) cell.item()->~T();
        }
    }

    // Returns nothing on success; hands `item` back when the queue is full.
    std::optional<T> try_push(T item) noexcept {
        // relaxed: the counter only arbitrates between producers; the item's
        // publication goes through the cell's sequence number.
        std::uint64_t pos = enqueue_pos_.value.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = cells_[pos % capacity_];
            // acquire: pairs with the consumer's release store that freed the
            // cell, so its move-out is complete before we construct.
            const std::uint64_t seq = cell.seq.load(std::memory_order_acquire);
            const auto diff = static_cast<std::int64_t>(seq - 2 * pos);
            if (diff == 0) {
                // relaxed: see above; a failure reloads `pos`.
                if (enqueue_pos_.value.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    ::new (static_cast<void*>(cell.storage)) T(std::move(item));
                    // release: pairs with the consumer's acquire load of seq.
                    cell.seq.store(2 * pos + 1, std::memory_order_release);
                    return std::nullopt;
                }
            } else if (diff < 0) {
                // The item one lap behind is still there: full.
                return std::optional<T>(std::move(item));
            } else {
                // Another producer took `pos`; relaxed as above.
                pos = enqueue_pos_.value.load(std::memory_order_relaxed);
            }
        }
    }

    // The oldest item, or nothing when the queue is empty.
    std::optional<T> try_pop() noexcept {
        // relaxed: arbitrates between consumers only (see try_push).
        std::uint64_t pos = dequeue_pos_.value.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = cells_[pos % capacity_];
            // acquire: pairs with the producer's release store of seq.
            const std::uint64_t seq = cell.seq.load(std::memory_order_acquire);
            const auto diff = static_cast<std::int64_t>(seq - (2 * pos + 1));
            if (diff == 0) {
                // relaxed: a failure reloads `pos`.
                if (dequeue_pos_.value.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    T* item = cell.item();
                    std::optional<T> out(std::move(*item));
                    item->~T();
                    // release: pairs with the next producer's acquire load.
                    cell.seq.store(2 * (pos + capacity_), std::memory_order_release);
                    return out;
                }
            } else if (diff < 0) {
                return std::nullopt;  // position `pos` not yet written: empty
            } else {
                pos = dequeue_pos_.value.load(std::memory_order_relaxed);
            }
        }
    }

    // Number of claimed items: the two counters read as one snapshot (the
    // dequeue counter did not move while the enqueue counter was read), so
    // the result lies in [0, capacity]. Pushes and pops in progress count
    // as done.
    std::size_t size() const noexcept {
        for (int attempt = 0;; ++attempt) {
            // acquire (all three): orders the reads one after another so the
            // enqueue value belongs between the two dequeue values.
            const std::uint64_t head = dequeue_pos_.value.load(std::memory_order_acquire);
            const std::uint64_t tail = enqueue_pos_.value.load(std::memory_order_acquire);
            const std::uint64_t again = dequeue_pos_.value.load(std::memory_order_acquire);
            if (head == again || attempt >= 64) {
                // The clamps only guard a snapshot taken under a storm of
                // consumers (attempt limit); a stable one is within bounds.
                if (tail <= again) return 0;
                const std::uint64_t length = tail - again;
                return length > capacity_ ? capacity_ : static_cast<std::size_t>(length);
            }
        }
    }

    std::size_t capacity() const noexcept { return capacity_; }

private:
    struct Cell {
        std::atomic<std::uint64_t> seq{0};
        alignas(T) unsigned char storage[sizeof(T)];

        T* item() noexcept { return std::launder(reinterpret_cast<T*>(storage)); }
    };

    static std::size_t checked(std::size_t capacity) {
        if (capacity == 0) {
            std::fprintf(stderr, "ravo runtime: BoundedQueue capacity must be > 0\n");
            std::abort();
        }
        return capacity;
    }

    // Read-only after construction; on their own block, away from the two
    // counters below.
    const std::size_t capacity_;
    const std::unique_ptr<Cell[]> cells_;
    // Written by producers / by consumers: each alone on a 128-byte block.
    Padded<std::atomic<std::uint64_t>> enqueue_pos_;
    Padded<std::atomic<std::uint64_t>> dequeue_pos_;

    static_assert(sizeof(Padded<std::atomic<std::uint64_t>>) == kHotBlock,
                  "each queue counter fills exactly one 128-byte block");
};

}  // namespace ravo::runtime
