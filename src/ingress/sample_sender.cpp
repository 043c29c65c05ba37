// Producer-side push with backpressure; see sample_sender.h.
#include "ingress/sample_sender.h"

namespace ravo {

SampleSender::SampleSender(std::shared_ptr<ProducerQueue> queue, std::shared_ptr<runtime::Notifier> space_notify,
                           std::shared_ptr<runtime::Notifier> drainer_notify, std::shared_ptr<Metrics> metrics,
                           std::shared_ptr<BufferPool> buffer_pool,
                           std::shared_ptr<std::atomic<bool>> closed) noexcept
    : queue_(std::move(queue)),
      space_notify_(std::move(space_notify)),
      drainer_notify_(std::move(drainer_notify)),
      metrics_(std::move(metrics)),
      buffer_pool_(std::move(buffer_pool)),
      closed_(std::move(closed)) {}

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
