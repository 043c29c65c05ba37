// Store construction, synchronous insert and the consumer path; see store.h.
#include "store.h"

#include <algorithm>
#include <cstring>
#include <immintrin.h>
#include <sched.h>
#include <string>

namespace ravo {

namespace {

std::string shape_text(const std::vector<std::uint64_t>& shape) {
    std::string s = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    return s + "]";
}

}  // namespace

Status Store::check(const std::vector<ArraySpec>& specs, std::uint64_t batch_size, std::uint64_t num_batches) {
    if (num_batches < 2) return Error::config("num_batches must be >= 2");
    std::vector<std::uint64_t> slot_bytes;
    slot_bytes.reserve(specs.size());
    for (const ArraySpec& s : specs) slot_bytes.push_back(s.byte_size());
    const std::uint64_t capacity = batch_size * num_batches;  // wraps; the ring's checks catch most overflow
    if (Status st = PytreeRingBuf::check(slot_bytes, capacity, batch_size); !st) return st;

    // Products that wrapped to values the checks above accept.
    if (!checked_mul(batch_size, num_batches)) {
        return Error::config("batch_size (" + std::to_string(batch_size) + ") * num_buffers (" +
                             std::to_string(num_batches) + ") overflows 64 bits");
    }
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (!specs[i].checked_byte_size()) {
            return Error::config("leaf " + std::to_string(i) + ": shape " + shape_text(specs[i].shape) +
                                 " * dtype_size " + std::to_string(specs[i].dtype_size) +
                                 " overflows 64 bits");
        }
    }
    return PytreeRingBuf::check_regions(slot_bytes, capacity);
}

Result<std::unique_ptr<Store>> Store::create(std::vector<ArraySpec> specs, std::uint64_t batch_size,
                                            std::uint64_t num_batches, std::unique_ptr<Sampler> sampler,
                                            std::unique_ptr<Remover> remover, bool for_pinning) {
    if (Status st = check(specs, batch_size, num_batches); !st) return std::move(st).error();
    std::vector<std::uint64_t> slot_bytes;
    slot_bytes.reserve(specs.size());
    for (const ArraySpec& s : specs) slot_bytes.push_back(s.byte_size());
    const std::uint64_t capacity = batch_size * num_batches;
    auto ring = PytreeRingBuf::create(std::move(slot_bytes), capacity, batch_size, for_pinning);
    if (!ring) return std::move(ring).error();

    std::unique_ptr<Store> store(new Store());
    store->sampler_ = std::move(sampler);
    store->remover_ = std::move(remover);
    store->batch_size_ = batch_size;
    store->capacity_ = capacity;
    store->ring_ = std::move(ring).value();
    store->specs_ = std::move(specs);
    return store;
}

void Store::copy_sample(std::uint64_t pos, std::span<const ByteSpan> arrays) {
    const std::uint64_t slot = pos % capacity_;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        if (arrays[i].len == 0) continue;
        std::memcpy(ring_->region(i) + slot * ring_->slot_bytes(i), arrays[i].data, arrays[i].len);
    }
}

InsertOutcome Store::insert_sync_until(std::span<const ByteSpan> arrays,
                                       std::chrono::steady_clock::time_point deadline) {
    // Spin this many attempts with the pause hint before yielding the CPU
    // between attempts: a consumer usually frees a batch within microseconds.
    constexpr unsigned kSpinAttempts = 4096;
    unsigned attempts = 0;
    std::uint64_t w = write_cursor_.value.load(std::memory_order_seq_cst);
    for (;;) {
        const std::uint64_t r = remover_->read_pos();
        if (w - r >= capacity_) {
            // Full (or w was stale and r moved past it: read again).
            if (shut_down_.load(std::memory_order_acquire)) {
                // Re-read once: room made just before the shutdown still
                // counts. Full only on a consistent pair: a read position
                // past the fresh cursor means other writers and the consumer
                // moved on between the two loads, and says nothing about room.
                w = write_cursor_.value.load(std::memory_order_seq_cst);
                const std::uint64_t r2 = remover_->read_pos();
                if (r2 <= w && w - r2 >= capacity_) return InsertOutcome::ShutDown;
                continue;
            }
            if (deadline == std::chrono::steady_clock::time_point::min()) return InsertOutcome::TimedOut;
            if (++attempts < kSpinAttempts) {
                _mm_pause();
            } else {
                if ((attempts & 63) == 0 && std::chrono::steady_clock::now() >= deadline) {
                    return InsertOutcome::TimedOut;
                }
                sched_yield();
            }
            w = write_cursor_.value.load(std::memory_order_seq_cst);
            continue;
        }
        // seq_cst (at least acq_rel): the reservation is ordered after the
        // read_pos load that proved the slot free (that load pairs with the
        // consumer's release in remove), so the copy below cannot overwrite
        // bytes still being read; a failure reloads the cursor.
        if (write_cursor_.value.compare_exchange_weak(w, w + 1, std::memory_order_seq_cst,
                                                      std::memory_order_seq_cst)) {
            break;
        }
    }
    copy_sample(w, arrays);
    sampler_->commit(w);
    return InsertOutcome::Inserted;
}

Store::Run Store::reserve_run(std::uint64_t max) noexcept {
    if (max == 0) return {};
    std::atomic<std::uint64_t>& cursor = write_cursor_.value;
    for (;;) {
        // seq_cst, cursor first and read_pos second: see give_back for why
        // the consumer's release can then never miss a writer's wait.
        std::uint64_t w = cursor.load(std::memory_order_seq_cst);
        const std::uint64_t r = remover_->read_pos();
        if (r > w) continue;  // the cursor moved on between the two reads
        const std::uint64_t used = w - r;
        if (used >= capacity_) return {};
        const std::uint64_t k = std::min({capacity_ - used, max, batch_size_ - w % batch_size_});
        // acq_rel: the reservation is ordered after the read_pos load that
        // proved these slots free.
        if (cursor.compare_exchange_strong(w, w + k, std::memory_order_acq_rel, std::memory_order_relaxed)) {
            return Run{w, k};
        }
        // Another writer moved it first: test again.
    }
}

InsertOutcome Store::insert_sync(std::span<const ByteSpan> arrays) {
    return insert_sync_until(arrays, std::chrono::steady_clock::time_point::max());
}

InsertOutcome Store::try_insert(std::span<const ByteSpan> arrays) {
    // The earliest deadline is the marker for "do not wait" in the loop above.
    return insert_sync_until(arrays, std::chrono::steady_clock::time_point::min());
}

void Store::give_back() {
    if (!batch_outstanding_.exchange(false, std::memory_order_relaxed)) return;
    const std::uint64_t r = remover_->read_pos();
    remover_->remove(batch_size_);
    // The write cursor is read after the release, not before it: a producer
    // that found the ring full read read_pos before the release and the
    // cursor before that, so this later read sees at least the cursor it saw
    // and the test below cannot miss it (reading the cursor first could, and
    // the producer would then wait for a wake-up that never comes). seq_cst
    // orders this load after the release's read-modify-write.
    const std::uint64_t w = write_cursor_.value.load(std::memory_order_seq_cst);
    if (w - r >= capacity_) space_notify_.notify_all();
}

void Store::build_view(const Selection& sel, ConsumerView& out) const {
    const std::size_t leaves = ring_->num_leaves();
    out.spans.resize(leaves);
    for (std::size_t i = 0; i < leaves; ++i) {
        const std::uint64_t sb = ring_->slot_bytes(i);
        std::uint8_t* base = ring_->region(i);
        out.spans[i] = ByteSpan{base == nullptr ? nullptr : base + sel.start_slot * sb, sel.count * sb};
    }
    out.len = sel.count;
}

SelectWait Store::select_for(std::chrono::nanoseconds timeout, ConsumerView& out) {
    Selection sel{};
    const SelectWait res = sampler_->select_for(batch_size_, timeout, sel);
    if (res != SelectWait::Selected) return res;
    batch_outstanding_.store(true, std::memory_order_relaxed);
    handed_out_.store(handed_out_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    build_view(sel, out);
    return res;
}

std::optional<ConsumerView> Store::sample() {
    give_back();
    auto sel = sampler_->select(batch_size_);
    if (!sel) return std::nullopt;
    batch_outstanding_.store(true, std::memory_order_relaxed);
    handed_out_.store(handed_out_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    ConsumerView view;
    build_view(*sel, view);
    return view;
}

void Store::shutdown() {
    shut_down_.store(true, std::memory_order_release);
    sampler_->shutdown();
    space_notify_.notify_all();
}

}  // namespace ravo
