// Batch memory allocation, pinning and release; see ring_buf.h.
#include "ring_buf.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "array_spec.h"

namespace ravo {

Status PytreeRingBuf::check(const std::vector<std::uint64_t>& slot_bytes, std::uint64_t capacity,
                            std::uint64_t batch_size) {
    if (capacity == 0) return Error::config("capacity must be > 0");
    if (batch_size == 0 || capacity % batch_size != 0) {
        return Error::config("capacity (" + std::to_string(capacity) + ") must be a multiple of batch_size (" +
                             std::to_string(batch_size) + ")");
    }
    if (slot_bytes.empty()) return Error::config("slot_bytes must not be empty");
    return {};
}

Status PytreeRingBuf::check_regions(const std::vector<std::uint64_t>& slot_bytes, std::uint64_t capacity) {
    for (std::size_t i = 0; i < slot_bytes.size(); ++i) {
        if (!checked_mul(slot_bytes[i], capacity)) {
            return Error::config("leaf " + std::to_string(i) + ": region size " + std::to_string(slot_bytes[i]) +
                                 " bytes per slot * capacity " + std::to_string(capacity) +
                                 " overflows 64 bits");
        }
    }
    return {};
}

Result<std::unique_ptr<PytreeRingBuf>> PytreeRingBuf::create(std::vector<std::uint64_t> slot_bytes,
                                                            std::uint64_t capacity, std::uint64_t batch_size,
                                                            bool for_pinning) {
    if (Status st = check(slot_bytes, capacity, batch_size); !st) return std::move(st).error();
    if (Status st = check_regions(slot_bytes, capacity); !st) return std::move(st).error();
    std::unique_ptr<PytreeRingBuf> ring(new PytreeRingBuf(std::move(slot_bytes), capacity));
    ring->buffers_.assign(ring->slot_bytes_.size(), nullptr);
    ring->mapped_ = for_pinning;
    for (std::size_t i = 0; i < ring->slot_bytes_.size(); ++i) {
        const std::uint64_t bytes = ring->region_bytes(i);
        if (bytes == 0) continue;
        void* mem = nullptr;
        if (for_pinning) {
            // Anonymous memory: whole pages, zero-filled on first touch.
            // mmap itself rounds the length up to whole pages.
            mem = bytes <= static_cast<std::uint64_t>(SIZE_MAX)
                      ? ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                      : MAP_FAILED;
            if (mem == MAP_FAILED) mem = nullptr;
        } else {
            // calloc: zero-filled by the allocator, so a large ring's pages
            // are only faulted in when producers first write them.
            mem = std::calloc(1, bytes);
        }
        if (mem == nullptr) {
            // The destructor frees the regions allocated so far.
            return Error::memory("cannot allocate " + std::to_string(bytes) + " bytes for ring buffer " +
                                 std::to_string(i));
        }
        ring->buffers_[i] = static_cast<std::uint8_t*>(mem);
    }
    return ring;
}

std::vector<host_pinning::Region> PytreeRingBuf::regions() const {
    std::vector<host_pinning::Region> out;
    out.reserve(buffers_.size());
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
        out.push_back(host_pinning::Region{buffers_[i], static_cast<std::size_t>(region_bytes(i))});
    }
    return out;
}

std::optional<host_pinning::PinError> PytreeRingBuf::pin_host_memory(
    const std::vector<std::string>& wheel_roots) {
    auto result = host_pinning::pin_host_memory(regions(), wheel_roots);
    if (auto* err = std::get_if<host_pinning::PinError>(&result)) return std::move(*err);
    pinned_ = std::get<host_pinning::CudaApi>(result);
    return std::nullopt;
}

PytreeRingBuf::~PytreeRingBuf() {
    // The registration must go before the memory it covers. Region by
    // region, so that the destructor allocates nothing.
    if (pinned_) {
        for (std::size_t i = 0; i < buffers_.size(); ++i) {
            host_pinning::release_region(*pinned_, host_pinning::Region{buffers_[i], static_cast<std::size_t>(region_bytes(i))});
        }
    }
    for (std::size_t i = 0; i < buffers_.size(); ++i) {
        if (buffers_[i] == nullptr) continue;
        if (!mapped_) {
            std::free(buffers_[i]);
        } else if (::munmap(buffers_[i], static_cast<std::size_t>(region_bytes(i))) != 0) {
            // Only an invalid range fails, which would be a fault of ours:
            // say so, but a destructor has nothing else to do about it.
            std::fprintf(stderr, "ravo: munmap of ring buffer %zu failed: %s\n", i, std::strerror(errno));
        }
    }
}

}  // namespace ravo
