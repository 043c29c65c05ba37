// Counters and gauges that tell the consumer how ingress keeps up.
//
// Writers: the selector (notify_count), producer senders (push_blocked_count,
// active_connections), drainers (their own DrainerMetrics record, whose
// samples_inserted_total also counts what the drainer's senders stored
// directly). The only
// reader is the snapshot taken by the consumer call. Every update is one
// atomic instruction; the snapshot uses plain loads and takes no lock, so its
// fields may come from slightly different instants. Nothing is ever reset.
//
// Memory order: every counter is a statistic that publishes no other data, so
// all updates and loads are relaxed; nothing pairs with them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "runtime/padded.h"

namespace ravo {

// One drainer's record, alone on its block so that drainers never share a
// cache-line pair. The gauges are written only by that drainer; the inserted
// count is added to by the drainer and by the senders registered with it
// when they store directly (sample_sender.h), with atomic adds.
struct alignas(kHotBlock) DrainerMetrics {
    std::atomic<std::size_t> queue_depth_sum{0};   // plain store once per round
    std::atomic<std::size_t> queue_depth_max{0};   // plain store once per round
    std::atomic<std::uint64_t> samples_inserted_total{0};  // add per committed run
};
static_assert(sizeof(DrainerMetrics) == kHotBlock, "a drainer record fills exactly one 128-byte block");

// The values a SampleInfo carries (the detailed-metrics fields are always 0
// and are not represented here).
struct MetricsSnapshot {
    std::size_t active_connections = 0;
    std::size_t queue_depth_sum = 0;
    std::size_t queue_depth_max = 0;
    std::uint64_t push_blocked_count = 0;
    std::uint64_t samples_inserted_total = 0;
    std::uint64_t notify_count = 0;
};

class Metrics {
public:
    explicit Metrics(std::size_t num_drainers);
    static std::shared_ptr<Metrics> create(std::size_t num_drainers) {
        return std::make_shared<Metrics>(num_drainers);
    }

    PaddedU64 push_blocked_count;
    PaddedU64 notify_count;
    // Changes only when producers come and go, so it shares a block with the
    // record list pointer.
    std::atomic<std::size_t> active_connections{0};

    std::size_t num_drainers() const noexcept { return num_drainers_; }
    DrainerMetrics& drainer(std::size_t id) noexcept { return per_drainer_[id]; }
    const DrainerMetrics& drainer(std::size_t id) const noexcept { return per_drainer_[id]; }

    // Everything but store_size, read in the order the snapshot reports it.
    MetricsSnapshot snapshot() const noexcept;

private:
    std::size_t num_drainers_;
    std::unique_ptr<DrainerMetrics[]> per_drainer_;
};

}  // namespace ravo
