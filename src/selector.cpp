// FIFO selector and remover; see selector.h.
#include "selector.h"

#include <new>
#include <string>

namespace ravo {

Status FifoSampler::check(std::uint64_t batch_size, std::uint64_t capacity) {
    if (batch_size == 0) return Error::config("batch_size must be > 0");
    if (capacity % batch_size != 0) return Error::config("capacity must be a multiple of batch_size");
    return {};
}

Result<std::unique_ptr<FifoSampler>> FifoSampler::with_metrics(std::uint64_t batch_size, std::uint64_t capacity,
                                                              std::shared_ptr<Metrics> metrics) {
    if (Status st = check(batch_size, capacity); !st) return std::move(st).error();
    const std::uint64_t num_batches = capacity / batch_size;
    try {
        return std::unique_ptr<FifoSampler>(new FifoSampler(batch_size, num_batches, std::move(metrics)));
    } catch (const std::bad_alloc&) {  // bad_array_new_length included: a count beyond any allocation
        return Error::memory("cannot allocate the completion counters of " + std::to_string(num_batches) +
                             " batches (" + std::to_string(sizeof(PaddedU64)) + " bytes each)");
    }
}

FifoSampler::FifoSampler(std::uint64_t batch_size, std::uint64_t num_batches, std::shared_ptr<Metrics> metrics)
    : counters_(std::make_unique<PaddedU64[]>(num_batches)),
      batch_size_(batch_size),
      num_batches_(num_batches),
      metrics_(std::move(metrics)) {}

void FifoSampler::on_batch_completed() {
    // Relaxed: a statistic, read by the snapshot's relaxed load.
    if (metrics_) metrics_->notify_count.value.fetch_add(1, std::memory_order_relaxed);
    // Taking the lock orders this wake-up after any select that has tested
    // the counter and not yet started waiting.
    std::lock_guard<std::mutex> g(lock_);
    batch_ready_.notify_one();
}

void FifoSampler::commit(std::uint64_t pos) {
    const std::uint64_t i = (pos / batch_size_) % num_batches_;
    // seq_cst: releases the sample bytes written before it to the consumer's
    // counter read in select.
    const std::uint64_t old = counters_[i].value.fetch_add(1, std::memory_order_seq_cst);
    if (old + 1 == batch_size_) on_batch_completed();
}

void FifoSampler::commit_batch(std::uint64_t pos, std::uint64_t n) {
    const std::uint64_t i = (pos / batch_size_) % num_batches_;
    const std::uint64_t old = counters_[i].value.fetch_add(n, std::memory_order_seq_cst);
    if (old < batch_size_ && batch_size_ <= old + n) on_batch_completed();
}

std::optional<Selection> FifoSampler::take_head_locked(std::uint64_t n, std::unique_lock<std::mutex>& lk) {
    const std::uint64_t pos = select_pos_.load(std::memory_order_relaxed);  // only this consumer writes it
    const std::uint64_t i = (pos / batch_size_) % num_batches_;
    // seq_cst load pairs with the writers' seq_cst adds: the batch's bytes
    // are visible once the full count is.
    if (counters_[i].value.load(std::memory_order_seq_cst) < batch_size_) return std::nullopt;
    counters_[i].value.store(0, std::memory_order_seq_cst);
    lk.unlock();
    const std::uint64_t old = select_pos_.fetch_add(n, std::memory_order_release);
    return Selection{old % (num_batches_ * batch_size_), n};
}

std::optional<Selection> FifoSampler::select(std::uint64_t n) {
    std::unique_lock<std::mutex> lk(lock_);
    for (;;) {
        if (auto sel = take_head_locked(n, lk)) return sel;
        if (shut_down_.load(std::memory_order_relaxed)) return std::nullopt;  // read under lock_
        batch_ready_.wait(lk);
    }
}

SelectWait FifoSampler::select_for(std::uint64_t n, std::chrono::nanoseconds timeout, Selection& out) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lk(lock_);
    for (;;) {
        if (auto sel = take_head_locked(n, lk)) {
            out = *sel;
            return SelectWait::Selected;
        }
        if (shut_down_.load(std::memory_order_relaxed)) return SelectWait::ShutDown;
        if (batch_ready_.wait_until(lk, deadline) == std::cv_status::timeout) {
            // One last test, so a completion that raced the deadline is not
            // reported as a time-out.
            if (auto sel = take_head_locked(n, lk)) {
                out = *sel;
                return SelectWait::Selected;
            }
            return shut_down_.load(std::memory_order_relaxed) ? SelectWait::ShutDown : SelectWait::TimedOut;
        }
    }
}

std::optional<Selection> FifoSampler::try_select(std::uint64_t n) {
    const std::uint64_t pos = select_pos_.load(std::memory_order_relaxed);
    const std::uint64_t i = (pos / batch_size_) % num_batches_;
    if (counters_[i].value.load(std::memory_order_seq_cst) < batch_size_) return std::nullopt;
    counters_[i].value.store(0, std::memory_order_seq_cst);
    const std::uint64_t old = select_pos_.fetch_add(n, std::memory_order_release);
    return Selection{old % (num_batches_ * batch_size_), n};
}

std::uint64_t FifoSampler::queue_size() const {
    std::uint64_t sum = 0;
    // Relaxed: a gauge; not a consistent snapshot while writers commit.
    for (std::uint64_t i = 0; i < num_batches_; ++i) sum += counters_[i].value.load(std::memory_order_relaxed);
    return sum;
}

void FifoSampler::shutdown() {
    std::lock_guard<std::mutex> g(lock_);
    shut_down_.store(true, std::memory_order_relaxed);  // published by lock_
    batch_ready_.notify_all();
}

void FifoRemover::remove(std::uint64_t n) { read_pos_.value.fetch_add(n, std::memory_order_seq_cst); }

std::uint64_t FifoRemover::read_pos() const { return read_pos_.value.load(std::memory_order_seq_cst); }

}  // namespace ravo
