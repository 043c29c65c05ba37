// The metrics snapshot classes SampleInfo and HistSnapshot.
//
// Both are plain read-only records: no constructor, no methods, no setters.
// Reading a histogram attribute of a SampleInfo creates a new HistSnapshot
// holding a copy of the record each time.
#pragma once

#include "common.h"

#include <cstdint>

namespace ravo::py {

struct HistRecord {
    std::uint64_t count = 0;
    std::uint64_t min_ns = 0;
    std::uint64_t max_ns = 0;
    double mean_ns = 0.0;
    std::uint64_t p50_ns = 0;
    std::uint64_t p90_ns = 0;
    std::uint64_t p99_ns = 0;
};

struct InfoRecord {
    std::size_t store_size = 0;
    std::size_t active_connections = 0;
    std::size_t queue_depth_sum = 0;
    std::size_t queue_depth_max = 0;
    std::uint64_t push_blocked_count = 0;
    std::uint64_t samples_inserted_total = 0;
    std::uint64_t notify_count = 0;
    std::uint64_t cas_success_total = 0;
    std::uint64_t cas_failure_total = 0;
    std::uint64_t reservation_retries_total = 0;
    HistRecord drain_round;
    HistRecord memcpy;
    HistRecord queue_dwell;
};

// New SampleInfo object holding a copy of `rec`; nullptr with an error set.
PyObject* new_sample_info(const InfoRecord& rec);

}  // namespace ravo::py
