// tcp_producer: load generator for a ravo TCP server (or bench/ack_server),
// built on the producer client in include/ravo/producer.h.
//
// Usage:
//   tcp_producer --port N [--host H] [--connections N] [--window W]
//                [--seconds S | --count C] [--timeout-ms T] [--batch B]
//   --host         default 127.0.0.1
//   --connections  parallel connections, one thread each (default 1)
//   --window       unacknowledged samples per connection (default 64)
//   --seconds      send for S seconds (default 3), then flush
//   --count        instead: every connection sends exactly C samples
//   --timeout-ms   bound on every single wait (default 30000)
//   --batch        samples per call: 1 sends each with send() (default);
//                  more packs B samples and sends them with send_many()
//
// Sample contents: the layout comes from the server's handshake. Each
// connection keeps one buffer of B samples of sample_size bytes each. Byte i (i >= 16)
// holds (i * 131 + connection id) mod 256. When the sample has at least 16
// bytes, bytes 0..7 hold the connection id (0..N-1) and bytes 8..15 the
// sample's sequence number on that connection (0, 1, 2, ...), both unsigned
// 64-bit little-endian; they are rewritten before every send. Smaller samples
// carry only the filler pattern.
//
// All connections connect and read their handshakes first; the clock starts
// when every one is ready and stops when every one has flushed. Output: one
// JSON line on stdout with the totals, e.g.
//   {"connections":4,"window":64,"sample_size":4096,"samples_sent":...,
//    "samples_acked":...,"seconds":...,"samples_per_s":...,"bytes_per_s":...,
//    "errors":0}
// Connection errors go to stderr, one line each; the exit status is 1 if any
// connection failed.
//
// Threads: the main thread parses, starts the connection threads, times the
// run and sets the stop flag; each connection thread owns its Producer.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "bench_cli.h"
#include "ravo/producer.h"

namespace {

using namespace ravo::bench;  // the command-line pieces in bench_cli.h

using ravo::producer::Options;
using ravo::producer::Producer;

struct Config {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    bool have_port = false;
    unsigned connections = 1;
    std::uint32_t window = 64;
    double seconds = 3.0;
    std::uint64_t count = 0;  // 0: run for `seconds`
    int timeout_ms = 30000;
    std::uint64_t batch = 1;  // samples per call
};

Config parse_args(int argc, char** argv) {
    Config c;
    for (ArgCursor args(argc, argv); args.step();) {
        const std::string& a = args.flag();
        if (a == "--host") {
            c.host = args.next();
        } else if (a == "--port") {
            c.port = parse_port(args.next(), false);
            c.have_port = true;
        } else if (a == "--connections") {
            const std::uint64_t n = parse_u64(args.next(), "connection count");
            if (n == 0 || n > 4096) die("--connections must be 1..4096");
            c.connections = static_cast<unsigned>(n);
        } else if (a == "--window") {
            const std::uint64_t w = parse_u64(args.next(), "window");
            if (w == 0 || w > 0xFFFFFFFFu) die("--window must be 1..2^32-1");
            c.window = static_cast<std::uint32_t>(w);
        } else if (a == "--seconds") {
            c.seconds = parse_seconds(args.next());
        } else if (a == "--count") {
            c.count = parse_u64(args.next(), "count");
            if (c.count == 0) die("--count must be >= 1");
        } else if (a == "--batch") {
            c.batch = parse_u64(args.next(), "batch");
            if (c.batch == 0 || c.batch > 65536) die("--batch must be 1..65536");
        } else if (a == "--timeout-ms") {
            const std::uint64_t t = parse_u64(args.next(), "timeout");
            if (t > 0x7FFFFFFF) die("--timeout-ms too large");
            c.timeout_ms = static_cast<int>(t);
        } else {
            die("unknown argument " + a);
        }
    }
    if (!c.have_port) die("--port is required");
    return c;
}

struct Outcome {
    std::uint64_t sample_size = 0;
    std::uint64_t sent = 0;
    std::uint64_t acked = 0;
    bool failed = false;
};

// Stop flag for timed runs: the main thread stores true once, connection
// threads poll it per sample. Relaxed on both sides: it publishes no data,
// and a few extra samples after the store do not matter.
std::atomic<bool> g_stop{false};

void run_connection(const Config& cfg, unsigned id, std::latch& ready, std::latch& go,
                    Outcome& out) {
    Options opt;
    opt.window = cfg.window;
    opt.timeout_ms = cfg.timeout_ms;
    auto connected = Producer::connect(cfg.host, cfg.port, opt);
    ready.count_down();
    go.wait();
    if (!connected) {
        std::fprintf(stderr, "tcp_producer: connection %u: %s\n", id,
                     connected.error().message.c_str());
        out.failed = true;
        return;
    }
    Producer p = std::move(connected).value();
    out.sample_size = p.sample_size();
    const auto size = static_cast<std::size_t>(p.sample_size());
    std::vector<unsigned char> samples(size * static_cast<std::size_t>(cfg.batch));
    const bool stamp = size >= 16;
    for (std::size_t k = 0; k < cfg.batch; ++k) {
        unsigned char* sample = samples.data() + k * size;
        for (std::size_t i = 0; i < size; ++i) sample[i] = static_cast<unsigned char>(i * 131 + id);
        if (stamp) {
            for (int b = 0; b < 8; ++b) sample[b] = static_cast<unsigned char>(std::uint64_t{id} >> (8 * b));
        }
    }
    ravo::producer::Status st;
    for (std::uint64_t seq = 0; cfg.count ? seq < cfg.count : !g_stop.load(std::memory_order_relaxed);) {
        const std::uint64_t n = cfg.count ? std::min(cfg.batch, cfg.count - seq) : cfg.batch;
        if (stamp) {
            for (std::uint64_t k = 0; k < n; ++k) {
                unsigned char* sample = samples.data() + k * size;
                for (int b = 0; b < 8; ++b) sample[8 + b] = static_cast<unsigned char>((seq + k) >> (8 * b));
            }
        }
        st = n == 1 ? p.send(samples.data()) : p.send_many(samples.data(), static_cast<std::size_t>(n));
        if (!st) break;
        seq += n;
    }
    if (st) st = p.close();
    if (!st) {
        std::fprintf(stderr, "tcp_producer: connection %u: %s\n", id, st.error().message.c_str());
        out.failed = true;
    }
    out.sent = p.sent();
    out.acked = p.acked();
}

}  // namespace

int main(int argc, char** argv) {
    set_program("tcp_producer");
    const Config cfg = parse_args(argc, argv);
    std::vector<Outcome> outcomes(cfg.connections);
    std::latch ready(cfg.connections);
    std::latch go(1);
    std::vector<std::thread> threads;
    threads.reserve(cfg.connections);
    for (unsigned i = 0; i < cfg.connections; ++i) {
        threads.emplace_back(run_connection, std::cref(cfg), i, std::ref(ready), std::ref(go),
                             std::ref(outcomes[i]));
    }
    ready.wait();
    const auto start = std::chrono::steady_clock::now();
    go.count_down();
    if (cfg.count == 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(cfg.seconds));
        g_stop.store(true, std::memory_order_relaxed);  // polled by run_connection
    }
    for (auto& t : threads) t.join();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Outcomes are read after join, which orders every thread's writes.
    std::uint64_t sent = 0, acked = 0, size = 0;
    unsigned errors = 0;
    for (const auto& o : outcomes) {
        sent += o.sent;
        acked += o.acked;
        if (o.sample_size) size = o.sample_size;
        errors += o.failed ? 1u : 0u;
    }
    const double rate = secs > 0 ? static_cast<double>(acked) / secs : 0.0;
    std::printf(
        "{\"host\":\"%s\",\"port\":%u,\"connections\":%u,\"window\":%u,\"sample_size\":%llu,"
        "\"samples_sent\":%llu,\"samples_acked\":%llu,\"seconds\":%.6f,\"samples_per_s\":%.1f,"
        "\"bytes_per_s\":%.1f,\"errors\":%u}\n",
        cfg.host.c_str(), static_cast<unsigned>(cfg.port), cfg.connections, cfg.window,
        static_cast<unsigned long long>(size), static_cast<unsigned long long>(sent),
        static_cast<unsigned long long>(acked), secs, rate, rate * static_cast<double>(size),
        errors);
    std::fflush(stdout);
    return errors ? 1 : 0;
}
