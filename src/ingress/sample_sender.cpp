// Producer-side push with backpressure; see sample_sender.h.
#include "ingress/sample_sender.h"

#include <algorithm>
#include <array>

#include "ingress/drainer.h"

namespace ravo {

SampleSender::SampleSender(std::shared_ptr<ProducerQueue> queue, std::shared_ptr<runtime::Notifier> space_notify,
                           std::shared_ptr<runtime::Notifier> drainer_notify, std::shared_ptr<Metrics> metrics,
                           std::shared_ptr<BufferPool> buffer_pool,
                           std::shared_ptr<std::atomic<bool>> closed, DirectStore direct) noexcept
    : queue_(std::move(queue)),
      space_notify_(std::move(space_notify)),
      drainer_notify_(std::move(drainer_notify)),
      metrics_(std::move(metrics)),
      buffer_pool_(std::move(buffer_pool)),
      closed_(std::move(closed)),
      direct_(std::move(direct)) {
    if (direct_.leaf_sizes) {
        for (std::size_t n : *direct_.leaf_sizes) segments_per_sample_ += n != 0;
    }
}

SampleSender::~SampleSender() {
    if (!closed_) return;  // moved from
    // Release: the drainer's acquire load of `closed` sees every push before it.
    closed_->store(true, std::memory_order_release);
    // Relaxed: a gauge; pairs with nothing.
    metrics_->active_connections.fetch_sub(1, std::memory_order_relaxed);
}

SampleBuffer SampleSender::take_or_allocate(std::size_t len) {
    if (auto b = buffer_pool_->try_pop()) return std::move(*b);
    return SampleBuffer::zeroed(len);
}

bool SampleSender::may_store_directly() const noexcept {
    if (!direct_.store) return false;
    // Acquire pairs with the pool's exchange in shutdown and its release
    // store in the destructor: a sender that sees the flag stores nothing
    // more directly, since its queued samples will not be stored after it. A
    // direct store that read the flag just before it was set still commits
    // its samples, where the consumer finds them; the server stops its
    // connections before the drainers in any case.
    if (direct_.shutdown_flag->load(std::memory_order_acquire) || direct_.store->is_shut_down()) return false;
    // Acquire (inside): every earlier sample of this sender is committed.
    return buffer_pool_->all_stored();
}

std::size_t SampleSender::try_store(std::span<SampleBuffer> buffers) noexcept {
    if (buffers.empty() || !may_store_directly()) return 0;
    // A fixed list on the stack: the connection hands over at most its
    // read-ahead, and more is taken in slices of this size.
    constexpr std::size_t kSlice = 64;
    std::array<ByteSpan, kSlice> spans;
    std::size_t stored = 0;
    while (stored < buffers.size()) {
        const std::size_t n = std::min(kSlice, buffers.size() - stored);
        for (std::size_t i = 0; i < n; ++i) {
            const SampleBuffer& b = buffers[stored + i];
            spans[i] = ByteSpan{b.data(), b.size()};
        }
        std::size_t inserted = 0;
        const bool all = insert_available(*direct_.store, std::span<const ByteSpan>(spans.data(), n),
                                          *direct_.leaf_sizes, direct_.record, inserted);
        for (std::size_t i = 0; i < inserted; ++i) {
            // Back to the pool (the shared stack's top, so the next take gets
            // this still-cached buffer); a full pool frees it.
            (void)buffer_pool_->try_push(std::move(buffers[stored + i]));
        }
        stored += inserted;
        if (!all) break;  // the ring is full: the rest is queued
    }
    return stored;
}

std::optional<SampleSender::SlotRun> SampleSender::try_reserve(std::size_t max_samples) noexcept {
    if (max_samples == 0 || !may_store_directly()) return std::nullopt;
    const SlotRun run = direct_.store->reserve_run(max_samples);
    if (run.count == 0) return std::nullopt;
    return run;
}

std::size_t SampleSender::segments(const SlotRun& run, std::span<iovec> out) const noexcept {
    const Store& store = *direct_.store;
    const PytreeRingBuf& ring = store.ring();
    const std::vector<std::size_t>& leaves = *direct_.leaf_sizes;
    std::size_t n = 0;
    for (std::uint64_t i = 0; i < run.count; ++i) {
        const std::uint64_t slot = (run.first + i) % store.capacity();
        for (std::size_t j = 0; j < leaves.size(); ++j) {
            if (leaves[j] == 0) continue;
            out[n++] = iovec{ring.region(j) + slot * ring.slot_bytes(j), leaves[j]};
        }
    }
    return n;
}

void SampleSender::commit(const SlotRun& run) noexcept {
    // Relaxed: a statistic; counted before the commit that publishes.
    if (direct_.record) direct_.record->samples_inserted_total.fetch_add(run.count, std::memory_order_relaxed);
    direct_.store->sampler().commit_batch(run.first, run.count);
}

bool SampleSender::try_push(TransportQueueItem& item) noexcept {
    auto back = queue_->try_push(std::move(item));
    if (!back) {
        drainer_notify_->notify_one();
        return true;
    }
    item = std::move(*back);
    // Relaxed: a statistic read by the snapshot's relaxed load.
    metrics_->push_blocked_count.value.fetch_add(1, std::memory_order_relaxed);
    return false;
}

runtime::Task<void> SampleSender::push(TransportQueueItem item) {
    for (;;) {
        // The ticket is taken before the attempt, so a wake-up given by the
        // drainer between a failed attempt and the wait is not lost.
        runtime::Ticket ticket = space_notify_->ticket();
        if (try_push(item)) co_return;
        co_await ticket;
    }
}

void SampleSender::push_blocking(TransportQueueItem item) {
    for (;;) {
        runtime::Ticket ticket = space_notify_->ticket();
        if (try_push(item)) return;
        ticket.wait_blocking();
    }
}

}  // namespace ravo
