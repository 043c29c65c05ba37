// Drainer rounds and batch insertion; see drainer.h.
#include "ingress/drainer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "runtime/runtime.h"
#include "runtime/stream_copy.h"

namespace ravo {

bool insert_available(Store& store, std::span<const ByteSpan> samples, const std::vector<std::size_t>& leaf_sizes,
                      DrainerMetrics* record, std::size_t& inserted) {
    const std::uint64_t count = samples.size();
    const std::uint64_t capacity = store.capacity();
    PytreeRingBuf& ring = store.ring();
    while (inserted < count) {
        const Store::Run run = store.reserve_run(count - inserted);
        if (run.count == 0) return false;
        const std::uint64_t w = run.first, k = run.count;
        for (std::uint64_t i = 0; i < k; ++i) {
            const std::uint64_t slot = (w + i) % capacity;
            const std::uint8_t* src = samples[inserted + i].data;
            for (std::size_t j = 0; j < leaf_sizes.size(); ++j) {
                const std::size_t n = leaf_sizes[j];
                if (n != 0) runtime::stream_copy(ring.region(j) + slot * ring.slot_bytes(j), src, n);
                src += n;
            }
        }
        // Relaxed: a statistic; counted before the commit that publishes.
        if (record) record->samples_inserted_total.fetch_add(k, std::memory_order_relaxed);
        store.sampler().commit_batch(w, k);
        inserted += k;
    }
    return true;
}

runtime::Task<void> insert_batch(Store& store, const std::vector<ByteSpan>& samples,
                                 const std::vector<std::size_t>& leaf_sizes, DrainerMetrics* record) {
    std::size_t inserted = 0;
    for (;;) {
        // Ticket before the test: a give-back that makes room after the test
        // reaches this ticket (the space notifier is wake-all).
        runtime::Ticket ticket = store.space_notify().ticket();
        if (insert_available(store, samples, leaf_sizes, record, inserted)) co_return;
        co_await ticket;
    }
}

bool RoundScratch::reserve(std::size_t n) noexcept {
    try {
        items.reserve(n);
        samples.reserve(n);
        return true;
    } catch (const std::bad_alloc&) {
        return false;  // vector::reserve is all or nothing: the old room stands
    } catch (const std::length_error&) {
        return false;  // more than a vector can hold
    }
}

namespace {

// The summed capacity of every queue in `handles`, or false on overflow.
bool full_depth(const std::vector<TransportHandle>& handles, std::size_t& depth) noexcept {
    depth = 0;
    for (const TransportHandle& h : handles) {
        if (__builtin_add_overflow(depth, h.queue->capacity(), &depth)) return false;
    }
    return true;
}

}  // namespace

bool RoundScratch::make_room(const std::vector<TransportHandle>& handles) noexcept {
    std::size_t depth = 0;
    if (!full_depth(handles, depth)) return false;
    return room() >= depth || reserve(depth);
}

void RoundScratch::release_excess(const std::vector<TransportHandle>& handles) noexcept {
    std::size_t depth = 0;
    if (!full_depth(handles, depth)) return;
    if (room() <= kKeptRoom || room() / 2 <= depth) return;
    // Fresh lists of the smaller size; the old ones go when swapped out.
    RoundScratch smaller;
    if (!smaller.reserve(std::max(depth, kKeptRoom))) return;
    items.swap(smaller.items);
    samples.swap(smaller.samples);
}

bool collect_round(std::vector<TransportHandle>& handles, DrainerMetrics& record, std::uint64_t round,
                   RoundScratch& scratch) {
    // Relaxed stores: gauges written only by this drainer, read by the
    // snapshot's relaxed loads.
    scratch.items.clear();
    scratch.samples.clear();
    scratch.limited = false;
    if (handles.empty()) {
        record.queue_depth_sum.store(0, std::memory_order_relaxed);
        record.queue_depth_max.store(0, std::memory_order_relaxed);
        return false;
    }
    const std::size_t room = scratch.room();
    const std::size_t n = handles.size();
    const std::size_t start = static_cast<std::size_t>(round % n);
    std::size_t sum = 0, max = 0;
    for (std::size_t j = 0; j < n; ++j) {
        TransportHandle& h = handles[(start + j) % n];
        const std::size_t d = h.queue->size();
        sum += d;
        max = std::max(max, d);
        if (d == 0) continue;
        const std::size_t want = std::min(d, room - scratch.items.size());
        if (want < d) scratch.limited = true;
        std::size_t taken = 0;
        while (taken < want) {
            auto item = h.queue->try_pop();
            if (!item) break;
            scratch.items.push_back(std::move(*item));  // within the room: no allocation
            ++taken;
        }
        if (taken > 0) h.space_notify->notify_one();
    }
    record.queue_depth_sum.store(sum, std::memory_order_relaxed);
    record.queue_depth_max.store(max, std::memory_order_relaxed);
    for (const TransportQueueItem& item : scratch.items) {
        scratch.samples.push_back(ByteSpan{item.buffer().data(), item.buffer().size()});
    }
    return !scratch.items.empty();
}

runtime::Task<bool> drain_round(std::vector<TransportHandle>& handles, Store& store,
                                const std::vector<std::size_t>& leaf_sizes, DrainerMetrics& record,
                                std::uint64_t round, RoundScratch& scratch) {
    (void)scratch.make_room(handles);
    if (!collect_round(handles, record, round, scratch)) co_return false;
    co_await insert_batch(store, scratch.samples, leaf_sizes, &record);
    scratch.samples.clear();
    scratch.items.clear();  // buffers go back to their senders' pools
    co_return true;
}

namespace {

bool room_for_one_more(std::vector<TransportHandle>& handles) noexcept {
    try {
        handles.reserve(handles.size() + 1);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

runtime::Task<void> drainer_task(std::size_t drainer_id, std::shared_ptr<Store> store,
                                 std::vector<std::size_t> leaf_sizes,
                                 runtime::ChannelReceiver<TransportHandle> registrations,
                                 std::shared_ptr<runtime::Notifier> wake, std::shared_ptr<std::atomic<bool>> shutdown_flag,
                                 std::shared_ptr<Metrics> metrics) {
    std::vector<TransportHandle> handles;
    RoundScratch scratch;
    std::uint64_t round = 0;
    DrainerMetrics& record = metrics->drainer(drainer_id);

    for (;;) {
        // Taken before looking at registrations and the flag, so that a
        // registration, push or shutdown from here on is not lost.
        runtime::Ticket ticket = wake->ticket();
        bool short_of_memory = false;
        for (;;) {
            // Room first: the channel takes nothing back, so a registration
            // is received only once it can be kept. Out of memory, the rest
            // wait in the channel for a later round.
            if (!room_for_one_more(handles)) {
                short_of_memory = true;
                break;
            }
            auto got = registrations.try_recv();
            if (got.status != runtime::Received<TransportHandle>::Status::Value) break;  // empty or closed
            handles.push_back(std::move(*got.value));  // within the reserved room
        }
        // Acquire pairs with the pool's exchange in shutdown.
        if (shutdown_flag->load(std::memory_order_acquire)) break;
        // Grows only after registrations added queues; out of memory, the
        // round takes what fits.
        if (!scratch.make_room(handles)) short_of_memory = true;

        // The round inline rather than through drain_round: a coroutine call
        // allocates its frame, and a drainer that runs a round per sample
        // must not allocate per sample. It suspends only while the store is
        // full.
        const bool took = collect_round(handles, record, round, scratch);
        ++round;
        if (took) {
            std::size_t inserted = 0;
            for (;;) {
                // Ticket before the test, as in insert_batch.
                runtime::Ticket space = store->space_notify().ticket();
                if (insert_available(*store, scratch.samples, leaf_sizes, &record, inserted)) break;
                co_await space;
            }
            scratch.samples.clear();
            scratch.items.clear();  // buffers go back to their senders' pools
        }

        // Drop registrations whose sender has gone once their queue is
        // empty, keeping the others' order. Acquire pairs with the sender's
        // release: every item it pushed is visible, so an empty queue stays
        // empty, and items pushed after this round's snapshot are taken by
        // the next round (their push woke this drainer) rather than lost.
        bool dropped = false;
        for (std::size_t i = 0; i < handles.size();) {
            if (handles[i].closed->load(std::memory_order_acquire) && handles[i].queue->size() == 0) {
                handles.erase(handles.begin() + static_cast<std::ptrdiff_t>(i));
                dropped = true;
            } else {
                ++i;
            }
        }
        // Only when connections have ended, never per sample.
        if (dropped) scratch.release_excess(handles);
        if (took) continue;  // the ticket is discarded; look again at once
        if (short_of_memory || scratch.limited) {
            // Work is waiting that memory did not allow: try again after the
            // other tasks have had a turn, rather than sleep on a wake-up
            // that may never come.
            co_await runtime::yield_now();
            continue;
        }
        co_await ticket;
    }
    // Shutdown: handles (and any items still queued) go with this frame;
    // closing the receiver destroys registrations still in the channel.
    handles.clear();
    registrations.close();
}

}  // namespace ravo
