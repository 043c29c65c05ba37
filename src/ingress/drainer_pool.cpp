// Drainer pool construction, registration and shutdown; see drainer_pool.h.
#include "ingress/drainer_pool.h"

#include <algorithm>

#include "ingress/drainer.h"

namespace ravo {

namespace {
constexpr std::size_t kMaxPoolCapacity = std::size_t{1} << 31;
// Nodes of the stack that every sender shares (24 bytes each): 64
// connections' worth at queues of 64, 963 at the default 8. Senders beyond
// that keep their extra buffers in their own pools.
constexpr std::size_t kSharedBufferNodes = 16384;
}  // namespace

Result<std::shared_ptr<DrainerPool>> DrainerPool::create(std::shared_ptr<Store> store, std::size_t num_drainers,
                                                         std::size_t producer_queue_size,
                                                         std::shared_ptr<Metrics> metrics) {
    if (num_drainers == 0) return Error::config("num_drainers must be > 0");
    if (producer_queue_size == 0) return Error::config("producer_queue_size must be > 0");
    if (!metrics || metrics->num_drainers() < num_drainers) {
        return Error::state("drainer pool needs one metrics record per drainer");
    }
    // Batch policy: a drainer is woken once per push, and on a busy machine
    // preempting the pushing connection task for it costs a context switch
    // per sample; waiting for a free CPU lets it take more per round.
    auto rt = runtime::Runtime::create("drainer", num_drainers, runtime::WorkerPolicy::Batch);
    if (!rt) return Error::system("failed to build drainer runtime: " + rt.error().message);

    std::shared_ptr<DrainerPool> pool(new DrainerPool());
    pool->runtime_ = std::move(rt).value();
    pool->shutdown_flag_ = std::make_shared<std::atomic<bool>>(false);
    pool->metrics_ = metrics;
    pool->queue_capacity_ = producer_queue_size;
    pool->shared_buffers_ = std::make_shared<SharedBuffers>(kSharedBufferNodes);
    pool->registrations_.reserve(num_drainers);
    pool->notifiers_.reserve(num_drainers);
    std::vector<std::size_t> leaf_sizes;
    for (const ArraySpec& spec : store->specs()) leaf_sizes.push_back(static_cast<std::size_t>(spec.byte_size()));
    pool->leaf_sizes_ = std::make_shared<const std::vector<std::size_t>>(leaf_sizes);
    pool->store_ = store;
    for (std::size_t i = 0; i < num_drainers; ++i) {
        auto [tx, rx] = runtime::make_channel<TransportHandle>();
        auto wake = std::make_shared<runtime::Notifier>();
        pool->runtime_->spawn(
            drainer_task(i, store, leaf_sizes, std::move(rx), wake, pool->shutdown_flag_, metrics));
        pool->registrations_.push_back(std::move(tx));
        pool->notifiers_.push_back(std::move(wake));
    }
    return pool;
}

DrainerPool::~DrainerPool() {
    // As shutdown() does first: a sender that outlives the pool must stop
    // storing directly, since a round the cancelled drainer was holding goes
    // with it, and a later sample of that sender must not overtake a dropped
    // earlier one. Release pairs with the senders' acquire load.
    shutdown_flag_->store(true, std::memory_order_release);
    // Cancel every suspended drainer and join the threads before anything
    // the drainers might still touch goes away.
    runtime_.reset();
    registrations_.clear();
    notifiers_.clear();
}

SampleSender DrainerPool::new_sender() {
    const std::size_t n = next_drainer_.fetch_add(1, std::memory_order_relaxed);
    const std::size_t idx = n % notifiers_.size();
    auto queue = std::make_shared<ProducerQueue>(queue_capacity_);
    // The pool's index space ends below 2^32; a larger pool than that only
    // means that a buffer beyond it is freed instead of kept.
    const std::size_t pool_capacity = std::min<std::size_t>(queue_capacity_, kMaxPoolCapacity / 2) * 2 + 1;
    auto pool = std::make_shared<BufferPool>(pool_capacity, shared_buffers_);
    auto space = std::make_shared<runtime::Notifier>();
    auto closed = std::make_shared<std::atomic<bool>>(false);
    // A drainer that has exited has dropped its receiver: the handle is then
    // discarded silently and the sender still works until its queue fills.
    (void)registrations_[idx].send(TransportHandle{queue, space, closed});
    notifiers_[idx]->notify_one();
    // Relaxed: a gauge; pairs with nothing.
    metrics_->active_connections.fetch_add(1, std::memory_order_relaxed);
    return SampleSender(std::move(queue), std::move(space), notifiers_[idx], metrics_, std::move(pool),
                        std::move(closed), DirectStore{store_, leaf_sizes_, &metrics_->drainer(idx), shutdown_flag_});
}

void DrainerPool::shutdown() {
    // Release pairs with each drainer's acquire load of the flag.
    shutdown_flag_->exchange(true, std::memory_order_acq_rel);
    for (const auto& n : notifiers_) n->notify_all();
}

}  // namespace ravo
