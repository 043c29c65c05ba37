// Metrics record and its snapshot; see metrics.h.
#include "metrics.h"

#include <algorithm>

namespace ravo {

Metrics::Metrics(std::size_t num_drainers)
    : num_drainers_(num_drainers), per_drainer_(std::make_unique<DrainerMetrics[]>(num_drainers)) {}

MetricsSnapshot Metrics::snapshot() const noexcept {
    MetricsSnapshot s;
    // Relaxed loads: statistics only; see the header.
    s.active_connections = active_connections.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < num_drainers_; ++i) {
        s.queue_depth_sum += per_drainer_[i].queue_depth_sum.load(std::memory_order_relaxed);
    }
    for (std::size_t i = 0; i < num_drainers_; ++i) {
        s.queue_depth_max =
            std::max(s.queue_depth_max, per_drainer_[i].queue_depth_max.load(std::memory_order_relaxed));
    }
    s.push_blocked_count = push_blocked_count.value.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < num_drainers_; ++i) {
        s.samples_inserted_total += per_drainer_[i].samples_inserted_total.load(std::memory_order_relaxed);
    }
    s.notify_count = notify_count.value.load(std::memory_order_relaxed);
    return s;
}

}  // namespace ravo
