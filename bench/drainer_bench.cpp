// Ingress benchmark: sender threads push samples through the drainer pool
// into the store; a consumer thread samples batches. Prints samples/s and
// GB/s as the consumer sees them, beside the single-thread memcpy bandwidth
// measured in the same run. Not a test.
//
//   drainer_bench [--seconds S] [--drainers N] [--json FILE]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ingress/drainer_pool.h"
#include "selector.h"
#include "store.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double memcpy_bandwidth() {
    const std::size_t n = 256u << 20;
    std::vector<char> src(n, 1), dst(n, 0);
    std::memcpy(dst.data(), src.data(), n);  // fault the pages in
    const int reps = 8;
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) {
        src[static_cast<std::size_t>(i)] = static_cast<char>(i);
        std::memcpy(dst.data(), src.data(), n);
    }
    const double s = seconds_since(t0);
    volatile char sink = dst[static_cast<std::size_t>(reps - 1)];
    (void)sink;
    return static_cast<double>(n) * reps / s;
}

struct Figures {
    double samples_per_s;
    double bytes_per_s;
};

Figures run(std::size_t sample_bytes, unsigned senders, std::size_t drainers, std::size_t queue_size, double seconds) {
    using namespace ravo;
    // Batches of about 1 MiB (at least 16 samples), three in the ring.
    const std::uint64_t batch = std::max<std::uint64_t>(16, (1u << 20) / sample_bytes);
    auto metrics = Metrics::create(drainers);
    auto sampler = FifoSampler::with_metrics(batch, batch * 3, metrics).value();
    std::shared_ptr<Store> store(Store::create({ArraySpec{{sample_bytes}, 1}}, batch, 3, std::move(sampler),
                                               std::make_unique<FifoRemover>())
                                     .value());
    auto pool = DrainerPool::create(store, drainers, queue_size, metrics).value();

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (unsigned s = 0; s < senders; ++s) {
        threads.emplace_back([&] {
            SampleSender sender = pool->new_sender();
            while (!stop.load(std::memory_order_relaxed)) {
                SampleBuffer b = sender.take_or_allocate(sample_bytes);
                b.data()[0] = 1;
                TransportQueueItem item = sender.make_item(std::move(b));
                // push_blocking, but giving up once the run is over (the
                // drainers stop and nobody empties the queue any more).
                for (;;) {
                    runtime::Ticket ticket = sender.space_notify().ticket();
                    if (sender.try_push(item)) break;
                    if (stop.load(std::memory_order_relaxed)) return;
                    (void)ticket.wait_blocking_for(std::chrono::milliseconds(10));
                }
            }
        });
    }
    // Warm up: the first batches allocate the senders' buffers.
    for (int i = 0; i < 3; ++i) (void)store->sample();
    std::uint64_t samples = 0;
    const auto t0 = Clock::now();
    double elapsed = 0;
    while ((elapsed = seconds_since(t0)) < seconds) {
        auto v = store->sample();
        if (!v) break;
        samples += v->len;
    }
    stop.store(true);
    pool->shutdown();
    store->shutdown();
    for (auto& t : threads) t.join();
    pool.reset();
    const double n = static_cast<double>(samples);
    return Figures{n / elapsed, n * static_cast<double>(sample_bytes) / elapsed};
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1.5;
    std::size_t drainers = 2;
    std::size_t queue_size = 8;
    const char* json = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (a == "--drainers" && i + 1 < argc) drainers = static_cast<std::size_t>(std::atoi(argv[++i]));
        else if (a == "--json" && i + 1 < argc) json = argv[++i];
        else if (a == "--queue" && i + 1 < argc) queue_size = static_cast<std::size_t>(std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--drainers N] [--json FILE]\n", argv[0]);
            return 2;
        }
    }
    const double mem = memcpy_bandwidth();
    std::printf("single-thread memcpy bandwidth: %.2f GB/s; %zu drainers\n", mem / 1e9, drainers);
    std::string rows;
    for (std::size_t size : {std::size_t{64}, std::size_t{4096}, std::size_t{65536}, std::size_t{1} << 20}) {
        for (unsigned senders : {1u, 4u}) {
            const Figures f = run(size, senders, drainers, queue_size, seconds);
            std::printf("%8zu B x%u senders: %12.0f samples/s %7.2f GB/s  (%5.1f%% of memcpy)\n", size, senders,
                        f.samples_per_s, f.bytes_per_s / 1e9, 100.0 * f.bytes_per_s / mem);
            std::fflush(stdout);
            char row[256];
            std::snprintf(row, sizeof row,
                          "%s{\"sample_bytes\": %zu, \"senders\": %u, \"samples_per_s\": %.0f, \"gb_per_s\": %.3f, "
                          "\"memcpy_fraction\": %.3f}",
                          rows.empty() ? "" : ", ", size, senders, f.samples_per_s, f.bytes_per_s / 1e9,
                          f.bytes_per_s / mem);
            rows += row;
        }
    }
    if (json != nullptr) {
        FILE* out = std::fopen(json, "w");
        if (out == nullptr) {
            std::perror(json);
            return 1;
        }
        std::fprintf(out, "{\"memcpy_gb_per_s\": %.3f, \"drainers\": %zu, \"rows\": [%s]}\n", mem / 1e9, drainers,
                     rows.c_str());
        if (std::fclose(out) != 0) {
            std::perror(json);
            return 1;
        }
    }
    return 0;
}
