// Batch completion and FIFO hand-out.
//
// Writers report every sample they finish (`commit`, `commit_batch`); the one
// consumer asks for the next batch (`select`) and blocks until it is
// complete. Batches are handed out strictly in position order: a complete
// batch never overtakes an earlier incomplete one. The `Remover` records the
// slots the consumer gave back, which is what lets writers reuse them.
//
// Positions: every reserved sample has an ever-growing 64-bit position p; with
// batch size B and N batches, its batch is (p / B) mod N and batches start at
// slots that are multiples of B.
//
// Threads: commit/commit_batch from any number of writers at once, lock-free
// except for the one notification per completed batch. select/select_for from
// one consumer at a time (select_pos is advanced after the lock is released,
// so two concurrent selects are not supported). shutdown from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "metrics.h"
#include "result.h"
#include "runtime/padded.h"

namespace ravo {

// A handed-out batch: its first slot and its number of samples.
struct Selection {
    std::uint64_t start_slot;
    std::uint64_t count;
};

// Outcome of a wait with a time limit.
enum class SelectWait { Selected, ShutDown, TimedOut };

class Sampler {
public:
    virtual ~Sampler() = default;
    virtual void commit(std::uint64_t pos) = 0;
    virtual void commit_batch(std::uint64_t pos, std::uint64_t n) = 0;
    virtual std::optional<Selection> select(std::uint64_t n) = 0;
    virtual std::optional<Selection> try_select(std::uint64_t n) = 0;
    virtual std::uint64_t queue_size() const = 0;
    virtual void shutdown() = 0;
    // As select, but gives up after `timeout` so that the caller can look at
    // other things (pending Python signals) between slices of waiting.
    virtual SelectWait select_for(std::uint64_t n, std::chrono::nanoseconds timeout, Selection& out) = 0;
};

class Remover {
public:
    virtual ~Remover() = default;
    virtual void remove(std::uint64_t n) = 0;
    virtual std::uint64_t read_pos() const = 0;
};

class FifoSampler final : public Sampler {
public:
    // num_batches = capacity / batch_size. Refuses a zero batch_size (before
    // any division) and a capacity that is not a multiple of batch_size.
    static Status check(std::uint64_t batch_size, std::uint64_t capacity);

    static Result<std::unique_ptr<FifoSampler>> with_metrics(std::uint64_t batch_size, std::uint64_t capacity,
                                                            std::shared_ptr<Metrics> metrics);

    void commit(std::uint64_t pos) override;
    void commit_batch(std::uint64_t pos, std::uint64_t n) override;
    std::optional<Selection> select(std::uint64_t n) override;
    std::optional<Selection> try_select(std::uint64_t n) override;
    std::uint64_t queue_size() const override;
    void shutdown() override;
    SelectWait select_for(std::uint64_t n, std::chrono::nanoseconds timeout, Selection& out) override;

    std::uint64_t batch_size() const noexcept { return batch_size_; }
    std::uint64_t num_batches() const noexcept { return num_batches_; }
    std::uint64_t select_pos() const noexcept { return select_pos_.load(std::memory_order_acquire); }
    std::uint64_t counter(std::uint64_t batch) const noexcept {
        return counters_[batch].value.load(std::memory_order_seq_cst);
    }

private:
    FifoSampler(std::uint64_t batch_size, std::uint64_t num_batches, std::shared_ptr<Metrics> metrics);

    void on_batch_completed();
    // Head test under `lock_`: hands the head batch out if complete.
    std::optional<Selection> take_head_locked(std::uint64_t n, std::unique_lock<std::mutex>& lk);

    // Fill count of each batch since its last hand-out. Writers add with
    // seq_cst after their sample bytes are in place; select reads under the
    // lock (seq_cst, at least acquire) before the consumer reads the bytes.
    std::unique_ptr<PaddedU64[]> counters_;
    // First position of the next batch to hand out. Written only by the
    // consumer; release store so a later consumer thread sees it.
    std::atomic<std::uint64_t> select_pos_{0};
    std::uint64_t batch_size_;
    std::uint64_t num_batches_;
    std::shared_ptr<Metrics> metrics_;

    // Guards the head test-and-wait of select against the notification of a
    // completing commit, which is what makes that notification lossless.
    std::mutex lock_;
    std::condition_variable batch_ready_;
    std::atomic<bool> shut_down_{false};  // set under lock_, read under lock_
};

class FifoRemover final : public Remover {
public:
    void remove(std::uint64_t n) override;
    std::uint64_t read_pos() const override;

private:
    // Positions given back by the consumer. The consumer's add releases the
    // slots (pairs with the writers' load when they test for room: a writer
    // that sees the new value also sees the consumer finished reading them).
    // Both are seq_cst so that, with the write cursor's seq_cst accesses, a
    // writer that found the ring full and the consumer's release that follows
    // agree on the order of the two counters (see Store::give_back).
    PaddedU64 read_pos_;
};

}  // namespace ravo
