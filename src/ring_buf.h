// The batch memory: a ring of `capacity` sample slots, one contiguous,
// zero-filled byte region per leaf.
//
// Slot s of leaf i is the slot_bytes[i] bytes at offset s * slot_bytes[i] of
// region i, so the batch_size consecutive slots of one batch form a single
// byte range in every region and the consumer gets one flat view per leaf.
//
// Contract: the ring has no lock. All memory is allocated once, by create();
// regions never move or change size while the ring exists. Writers write only
// slots they reserved through the store's write cursor; the consumer reads a
// batch only between its hand-out and its give-back. Publication of the bytes
// rides on the selector's counters, so plain memcpy is enough here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host_pinning/register.h"
#include "result.h"

namespace ravo {

class PytreeRingBuf {
public:
    // The three construction checks, in order: capacity > 0, capacity a
    // multiple of batch_size (which also refuses batch_size 0), at least one
    // leaf. Separate from create() so that the store can run its own checks
    // between these and the allocation.
    static Status check(const std::vector<std::uint64_t>& slot_bytes, std::uint64_t capacity,
                        std::uint64_t batch_size);

    // Refuses a region size slot_bytes[i] * capacity that does not fit in
    // 64 bits, naming the first such leaf.
    static Status check_regions(const std::vector<std::uint64_t>& slot_bytes, std::uint64_t capacity);

    // check(), then check_regions(), then allocates every region zero-filled (the
    // allocator's zeroing call, so untouched pages cost nothing).
    //
    // `for_pinning`: each region instead gets whole pages of its own (an
    // anonymous private mapping: page-aligned, zero-filled by the kernel,
    // size rounded up to whole pages). The CUDA runtime locks whole pages
    // and refuses to register a page twice, so two small regions sharing a
    // page would make pinning fail. The pages are only made resident by the
    // registration itself, so a ring whose pinning then fails (no runtime,
    // no driver) never commits its memory.
    static Result<std::unique_ptr<PytreeRingBuf>> create(std::vector<std::uint64_t> slot_bytes,
                                                        std::uint64_t capacity, std::uint64_t batch_size,
                                                        bool for_pinning = false);

    ~PytreeRingBuf();
    PytreeRingBuf(const PytreeRingBuf&) = delete;
    PytreeRingBuf& operator=(const PytreeRingBuf&) = delete;

    std::size_t num_leaves() const noexcept { return slot_bytes_.size(); }
    std::uint64_t slot_bytes(std::size_t leaf) const noexcept { return slot_bytes_[leaf]; }
    const std::vector<std::uint64_t>& all_slot_bytes() const noexcept { return slot_bytes_; }
    std::uint64_t capacity() const noexcept { return capacity_; }
    // Start of region `leaf`; null for a region of length 0.
    std::uint8_t* region(std::size_t leaf) const noexcept { return buffers_[leaf]; }
    std::uint64_t region_bytes(std::size_t leaf) const noexcept { return slot_bytes_[leaf] * capacity_; }

    // Registers every non-empty region as page-locked memory with the CUDA
    // runtime, all or nothing. Called at most once, before the ring is
    // shared; on success destruction unregisters each region before freeing.
    std::optional<host_pinning::PinError> pin_host_memory(const std::vector<std::string>& wheel_roots);
    bool is_pinned() const noexcept { return pinned_.has_value(); }

private:
    PytreeRingBuf(std::vector<std::uint64_t> slot_bytes, std::uint64_t capacity)
        : slot_bytes_(std::move(slot_bytes)), capacity_(capacity) {}

    std::vector<host_pinning::Region> regions() const;

    // Owned; null for empty regions. calloc'd, or mapped when `mapped_`.
    std::vector<std::uint8_t*> buffers_;
    bool mapped_ = false;  // set by create() before any region exists
    std::vector<std::uint64_t> slot_bytes_;
    std::uint64_t capacity_;
    std::optional<host_pinning::CudaApi> pinned_;  // set only after every region registered
};

}  // namespace ravo
