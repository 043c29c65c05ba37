// Batch memory allocation, pinning and release; see ring_buf.h.
#include "ring_buf.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>
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

Result<std::unique_ptr<PytreeRingBuf>> PytreeRingBuf::create(std::vector<std::uint64_t> slot_bytes,
                                                            std::uint64_t capacity, std::uint64_t batch_size,
                                                            bool for_pinning) {
    if (Status st = check(slot_bytes, capacity, batch_size); !st) return std::move(st).error();
    for (std::size_t i = 0; i < slot_bytes.size(); ++i) {
        if (!checked_mul(slot_bytes[i], capacity)) {
            return Error::config("leaf " + std::to_string(i) + ": region size " + std::to_string(slot_bytes[i]) +
                                 " bytes per slot * capacity " + std::to_string(capacity) +
                                 " overflows 64 bits");
        }
    }
    std::unique_ptr<PytreeRingBuf> ring(new PytreeRingBuf(std::move(slot_bytes), capacity));
    ring->buffers_.assign(ring->slot_bytes_.size(), nullptr);
    for (std::size_t i = 0; i < ring->slot_bytes_.size(); ++i) {
        const std::uint64_t bytes = ring->region_bytes(i);
        if (bytes == 0) continue;
        void* mem = nullptr;
        if (for_pinning) {
            const long page_size = sysconf(_SC_PAGESIZE);
            const std::uint64_t page = page_size > 0 ? static_cast<std::uint64_t>(page_size) : 4096;
            const std::uint64_t rounded = (bytes + page - 1) / page * page;
            if (rounded >= bytes && posix_memalign(&mem, page, rounded) == 0) {
                std::memset(mem, 0, rounded);
            } else {
                mem = nullptr;
            }
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
    for (std::uint8_t* p : buffers_) std::free(p);
}

}  // namespace ravo
