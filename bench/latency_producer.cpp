// latency_producer: paced load generator that stamps every sample with its
// send time, for latency measurements against a ravo server (or
// bench/ack_server), built on the producer client in include/ravo/producer.h.
//
// Usage:
//   latency_producer --port N [--host H] [--connections N] --rate R
//                    [--seconds S] [--window W] [--warmup S]
//   --rate         samples per second over all connections (paced evenly)
//   --connections  parallel connections, one thread each (default 4)
//   --window       most unacknowledged samples per connection (default 256)
//   --seconds      run time (default 3)
//   --warmup       leading seconds whose acknowledgements are not recorded
//                  (default 0.3)
//
// Sample contents: bytes 0..7 hold the send time in nanoseconds of
// CLOCK_MONOTONIC (the clock of Python's time.monotonic_ns), unsigned 64-bit
// little-endian, taken just before the sample is written; bytes 8..15 hold
// the sequence number on the connection; the rest is a fixed filler. The
// sample must have at least 16 bytes.
//
// Pacing: connection c sends its i-th sample at start + (i + c / N) / rate_c
// (rate_c = R / N), sleeping until then (clock_nanosleep, or ppoll on the
// socket while acknowledgements are outstanding, with 1 ns timer slack); a
// connection that falls behind sends at once, so the offered rate holds as
// long as the server keeps up.
//
// Acknowledgement latency: the time from the stamp to the moment the producer
// reads that sample's acknowledgement byte. While a connection waits for its
// next send time it sits in poll() on the socket, so an acknowledgement is
// read as soon as it arrives. Output: one JSON line on stdout, e.g.
//   {"connections":4,"rate":100000,"sample_size":64,"samples_sent":...,
//    "seconds":...,"offered_per_s":...,"ack_p50_us":...,"ack_p99_us":...,
//    "ack_max_us":...,"ack_count":...,"errors":0}
//
// Threads: the main thread parses, starts the connection threads and joins
// them; each connection thread owns its Producer and its latency records.

#include <poll.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    unsigned connections = 4;
    double rate = 0;
    double seconds = 3.0;
    double warmup = 0.3;
    std::uint32_t window = 256;
};

// A finite number >= 0 (rates and times; counts go through parse_u64).
// Infinity (or a value that overflows to it) is refused: --rate or --seconds
// at infinity would reach undefined double-to-integer conversions in the
// pacing arithmetic.
double parse_double(const std::string& v, const char* what) {
    char* end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    if (end == v.c_str() || *end != '\0' || !(d >= 0) || !std::isfinite(d)) {
        die(std::string("bad ") + what + " '" + v + "'");
    }
    return d;
}

Config parse_args(int argc, char** argv) {
    Config c;
    bool have_port = false;
    for (ArgCursor args(argc, argv); args.step();) {
        const std::string& a = args.flag();
        if (a == "--host") {
            c.host = args.next();
        } else if (a == "--port") {
            c.port = parse_port(args.next(), false);
            have_port = true;
        } else if (a == "--connections") {
            // Range-checked before narrowing, as in the other tools.
            const std::uint64_t n = parse_u64(args.next(), "connection count");
            if (n == 0 || n > 4096) die("--connections must be 1..4096");
            c.connections = static_cast<unsigned>(n);
        } else if (a == "--rate") {
            c.rate = parse_double(args.next(), "rate");
        } else if (a == "--seconds") {
            c.seconds = parse_double(args.next(), "seconds");
        } else if (a == "--warmup") {
            c.warmup = parse_double(args.next(), "warmup");
        } else if (a == "--window") {
            const std::uint64_t w = parse_u64(args.next(), "window");
            if (w == 0 || w > 1000000) die("--window must be 1..1000000");
            c.window = static_cast<std::uint32_t>(w);
        } else {
            die("unknown argument " + a);
        }
    }
    if (!have_port) die("--port is required");
    if (!(c.rate > 0)) die("--rate is required and must be > 0");
    if (!(c.seconds > c.warmup)) die("--seconds must exceed --warmup");
    return c;
}

std::uint64_t now_ns() {
    timespec ts{};
    // CLOCK_MONOTONIC cannot fail with a valid clock id and pointer.
    (void)::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void sleep_until_ns(std::uint64_t t) {
    timespec ts{static_cast<time_t>(t / 1'000'000'000u), static_cast<long>(t % 1'000'000'000u)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

struct Outcome {
    std::uint64_t sample_size = 0;
    std::uint64_t sent = 0;
    std::vector<std::uint32_t> ack_ns;  // acknowledgement latencies, capped at ~4 s
    bool failed = false;
};

void put64(unsigned char* p, std::uint64_t v) {
    for (int b = 0; b < 8; ++b) p[b] = static_cast<unsigned char>(v >> (8 * b));
}

void run_connection(const Config& cfg, unsigned id, std::latch& ready, const std::uint64_t& start_ns,
                    std::latch& go, Outcome& out) {
    // Timer slack of 1 ns: the paced sleeps and waits end on time instead of
    // up to the default 50 us late.
    if (::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0) {
        std::fprintf(stderr, "latency_producer: PR_SET_TIMERSLACK: %s\n", std::strerror(errno));
    }
    Options opt;
    opt.window = cfg.window;
    opt.timeout_ms = 30000;
    auto connected = Producer::connect(cfg.host, cfg.port, opt);
    ready.count_down();
    go.wait();
    if (!connected) {
        std::fprintf(stderr, "latency_producer: connection %u: %s\n", id, connected.error().message.c_str());
        out.failed = true;
        return;
    }
    Producer p = std::move(connected).value();
    out.sample_size = p.sample_size();
    if (p.sample_size() < 16) {
        std::fprintf(stderr, "latency_producer: samples of %llu bytes cannot carry a stamp\n",
                     static_cast<unsigned long long>(p.sample_size()));
        out.failed = true;
        return;
    }
    std::vector<unsigned char> sample(static_cast<std::size_t>(p.sample_size()));
    for (std::size_t i = 16; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * 131 + id);

    const double per_conn = cfg.rate / cfg.connections;
    const double interval_ns = 1e9 / per_conn;
    const double offset_ns = interval_ns * id / cfg.connections;
    const std::uint64_t end_ns = start_ns + static_cast<std::uint64_t>(cfg.seconds * 1e9);
    const std::uint64_t record_from = start_ns + static_cast<std::uint64_t>(cfg.warmup * 1e9);
    // Send stamps of the unacknowledged samples, oldest first (a ring sized
    // to the window, so nothing is allocated while running).
    std::vector<std::uint64_t> stamps(cfg.window + 1);
    std::size_t head = 0;  // index of the oldest unacknowledged stamp
    out.ack_ns.reserve(static_cast<std::size_t>(per_conn * cfg.seconds) + 16);

    // Acknowledgements already matched with their stamps. `send` may read
    // acknowledgements itself, so the match goes by this count rather than
    // by what one poll_acks call added.
    std::uint64_t matched = 0;
    auto collect = [&]() -> bool {
        if (!p.poll_acks()) return false;
        const std::uint64_t now = now_ns();
        for (; matched < p.acked(); ++matched) {
            const std::uint64_t t = stamps[head];
            head = (head + 1) % stamps.size();
            if (t >= record_from) out.ack_ns.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(now - t, 0xFFFFFFFFu)));
        }
        return true;
    };

    bool ok = true;
    for (std::uint64_t seq = 0; ok; ++seq) {
        const std::uint64_t due = start_ns + static_cast<std::uint64_t>(offset_ns + interval_ns * static_cast<double>(seq));
        if (due >= end_ns) break;
        // Wait for the send time, reading acknowledgements as they come.
        for (;;) {
            const std::uint64_t now = now_ns();
            if (now >= due) break;
            const std::uint64_t left = due - now;
            if (p.outstanding() == 0) {
                sleep_until_ns(due);  // nothing to collect meanwhile
                break;
            }
            pollfd pfd{p.native_handle(), POLLIN, 0};
            const timespec ts{static_cast<time_t>(left / 1'000'000'000u), static_cast<long>(left % 1'000'000'000u)};
            const int r = ::ppoll(&pfd, 1, &ts, nullptr);
            if (r < 0 && errno != EINTR) {
                ok = false;
                break;
            }
            if (r > 0 && !collect()) {
                ok = false;
                break;
            }
        }
        if (!ok) break;
        // A full window: the send below would block reading acknowledgements
        // it then cannot time; collect them here first.
        while (ok && p.outstanding() >= cfg.window) {
            pollfd pfd{p.native_handle(), POLLIN, 0};
            if (::poll(&pfd, 1, 30000) <= 0 || !collect()) ok = false;
        }
        if (!ok) break;
        const std::uint64_t stamp = now_ns();
        put64(sample.data(), stamp);
        put64(sample.data() + 8, seq);
        stamps[(head + (p.sent() - matched)) % stamps.size()] = stamp;
        if (!p.send(sample.data())) {
            ok = false;
            break;
        }
        if (!collect()) ok = false;
    }
    // Drain the remaining acknowledgements (they still count).
    while (ok && p.outstanding() > 0) {
        pollfd pfd{p.native_handle(), POLLIN, 0};
        if (::poll(&pfd, 1, 30000) <= 0 || !collect()) ok = false;
    }
    out.sent = p.sent();
    if (!ok || !p.close()) {
        std::fprintf(stderr, "latency_producer: connection %u failed after %llu samples\n", id,
                     static_cast<unsigned long long>(p.sent()));
        out.failed = true;
    }
}

double percentile(std::vector<std::uint32_t>& v, double q) {
    if (v.empty()) return 0;
    const std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k] / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
    set_program("latency_producer");
    const Config cfg = parse_args(argc, argv);
    std::vector<Outcome> outcomes(cfg.connections);
    std::latch ready(cfg.connections);
    std::latch go(1);
    std::uint64_t start_ns = 0;  // written before go opens, read after
    std::vector<std::thread> threads;
    threads.reserve(cfg.connections);
    for (unsigned i = 0; i < cfg.connections; ++i) {
        threads.emplace_back(run_connection, std::cref(cfg), i, std::ref(ready), std::cref(start_ns), std::ref(go),
                             std::ref(outcomes[i]));
    }
    ready.wait();
    start_ns = now_ns() + 1'000'000;  // 1 ms for every thread to reach its first wait
    go.count_down();
    for (auto& t : threads) t.join();
    const double secs = static_cast<double>(now_ns() - start_ns) / 1e9;

    std::vector<std::uint32_t> all;
    std::uint64_t sent = 0, size = 0;
    unsigned errors = 0;
    for (auto& o : outcomes) {
        all.insert(all.end(), o.ack_ns.begin(), o.ack_ns.end());
        sent += o.sent;
        if (o.sample_size) size = o.sample_size;
        errors += o.failed ? 1u : 0u;
    }
    const std::size_t n = all.size();
    const double p50 = percentile(all, 0.50), p99 = percentile(all, 0.99), pmax = percentile(all, 1.0);
    std::printf(
        "{\"connections\":%u,\"rate\":%.1f,\"sample_size\":%llu,\"samples_sent\":%llu,\"seconds\":%.6f,"
        "\"offered_per_s\":%.1f,\"ack_p50_us\":%.2f,\"ack_p99_us\":%.2f,\"ack_max_us\":%.2f,\"ack_count\":%zu,"
        "\"errors\":%u}\n",
        cfg.connections, cfg.rate, static_cast<unsigned long long>(size), static_cast<unsigned long long>(sent), secs,
        secs > 0 ? static_cast<double>(sent) / secs : 0.0, p50, p99, pmax, n, errors);
    std::fflush(stdout);
    return errors ? 1 : 0;
}
