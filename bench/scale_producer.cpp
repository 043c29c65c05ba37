// scale_producer: load generator for many connections, built on the producer
// client in include/ravo/producer.h for the handshake and driving every
// socket from one epoll loop afterwards, so that 1,000 connections cost 1,000
// sockets and not 1,000 threads.
//
// Usage:
//   scale_producer --port N [--host H] [--connections N] [--window W]
//                  [--seconds S] [--threads T]
//   --connections  connections, opened one after another (default 64)
//   --window       unacknowledged samples per connection (default 64)
//   --seconds      send for S seconds (default 3), then collect what is owed
//   --threads      event-loop threads; connection i belongs to thread i % T
//                  (default 1)
//
// Opening the connections one at a time (each waits for its handshake) keeps
// a burst of connection attempts from overflowing the server's listen
// backlog, which would stall some of them in the kernel's retransmission
// back-off for seconds and leave the measurement to wait for them.
//
// Every connection keeps up to `window` samples unacknowledged: it writes
// while it may and the socket takes bytes (non-blocking, resuming a partial
// sample where it stopped) and reads acknowledgement bytes whenever they
// arrive (edge-triggered epoll on read and write readiness). Sample bytes are
// a fixed pattern.
//
// Output: one JSON line on stdout with the totals, the same fields as
// bench/tcp_producer:
//   {"connections":1000,"window":64,"sample_size":4096,"samples_sent":...,
//    "samples_acked":...,"seconds":...,"samples_per_s":...,"bytes_per_s":...,
//    "errors":0}
// Connection errors go to stderr, one line each; the exit status is 1 if any
// connection failed.
//
// Threads: the main thread connects every producer, then starts the event
// loops and sets the stop flag; each event-loop thread owns its connections.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_cli.h"
#include "ravo/producer.h"

namespace {

using namespace ravo::bench;  // the command-line pieces in bench_cli.h

using ravo::producer::Options;
using ravo::producer::Producer;
using Clock = std::chrono::steady_clock;

struct Config {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    unsigned connections = 64;
    std::uint64_t window = 64;
    double seconds = 3.0;
    unsigned threads = 1;
};

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
            // Range-checked before narrowing, so that 2^32 + 1 is not taken as 1.
            const std::uint64_t n = parse_u64(args.next(), "connection count");
            if (n == 0 || n > 60000) die("--connections must be 1..60000");
            c.connections = static_cast<unsigned>(n);
        } else if (a == "--window") {
            c.window = parse_u64(args.next(), "window");
            if (c.window == 0) die("--window must be >= 1");
        } else if (a == "--seconds") {
            c.seconds = parse_seconds(args.next());
        } else if (a == "--threads") {
            const std::uint64_t n = parse_u64(args.next(), "thread count");
            if (n == 0 || n > 64) die("--threads must be 1..64");
            c.threads = static_cast<unsigned>(n);
        } else {
            die("unknown argument " + a);
        }
    }
    if (!have_port) die("--port is required");
    return c;
}

// One connection's state, touched only by its event-loop thread.
struct Conn {
    Producer producer;
    int fd = -1;
    std::uint64_t sent = 0;     // whole samples written
    std::uint64_t acked = 0;    // acknowledgement bytes read
    std::size_t offset = 0;     // bytes of the current sample already written
    bool failed = false;
};

// Relaxed on both sides: a stop request publishes no data; the loops poll it.
std::atomic<bool> g_stop{false};

void fail(Conn& c, unsigned id, const char* what, int err) {
    if (!c.failed) std::fprintf(stderr, "scale_producer: connection %u: %s: %s\n", id, what, std::strerror(err));
    c.failed = true;
}

void read_acks(Conn& c, unsigned id) {
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.acked += static_cast<std::uint64_t>(n);  // every byte is one 0x01
            continue;
        }
        if (n == 0) {
            if (c.acked < c.sent) fail(c, id, "read", ECONNRESET);
            return;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) fail(c, id, "read", errno);
        return;
    }
}

void write_samples(Conn& c, unsigned id, const std::vector<unsigned char>& sample, std::uint64_t window,
                   bool stopping) {
    const std::size_t size = sample.size();
    for (;;) {
        // A partly written sample is always finished, even after the stop.
        if (c.offset == 0 && (stopping || c.sent - c.acked >= window)) return;
        const ssize_t n = ::send(c.fd, sample.data() + c.offset, size - c.offset, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c.offset += static_cast<std::size_t>(n);
            if (c.offset == size) {
                c.offset = 0;
                ++c.sent;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        fail(c, id, "write", n < 0 ? errno : EIO);
        return;
    }
}

void event_loop(std::vector<Conn*> conns, std::vector<unsigned> ids, const std::vector<unsigned char>& sample,
                std::uint64_t window) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) die(std::string("epoll_create1: ") + std::strerror(errno));
    for (std::size_t i = 0; i < conns.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u64 = i;
        if (::epoll_ctl(ep, EPOLL_CTL_ADD, conns[i]->fd, &ev) != 0) die(std::string("epoll_ctl: ") + std::strerror(errno));
        write_samples(*conns[i], ids[i], sample, window, false);
    }
    epoll_event events[256];
    bool stopping = false;
    auto owed = [&]() {
        for (Conn* c : conns) {
            if (!c->failed && (c->acked < c->sent || c->offset != 0)) return true;
        }
        return false;
    };
    auto drain_deadline = Clock::time_point::max();
    for (;;) {
        if (!stopping && g_stop.load(std::memory_order_relaxed)) {  // set by main
            stopping = true;
            drain_deadline = Clock::now() + std::chrono::seconds(10);
        }
        if (stopping && (!owed() || Clock::now() >= drain_deadline)) break;
        const int n = ::epoll_wait(ep, events, 256, 20);
        if (n < 0) {
            if (errno == EINTR) continue;
            die(std::string("epoll_wait: ") + std::strerror(errno));
        }
        for (int k = 0; k < n; ++k) {
            const std::size_t i = events[k].data.u64;
            Conn& c = *conns[i];
            if (c.failed) continue;
            read_acks(c, ids[i]);
            if (!c.failed) write_samples(c, ids[i], sample, window, stopping);
        }
    }
    ::close(ep);
}

}  // namespace

int main(int argc, char** argv) {
    set_program("scale_producer");
    const Config cfg = parse_args(argc, argv);
    std::vector<std::unique_ptr<Conn>> conns;
    conns.reserve(cfg.connections);
    std::uint64_t sample_size = 0;
    unsigned errors = 0;
    for (unsigned i = 0; i < cfg.connections; ++i) {
        Options opt;
        opt.window = static_cast<std::uint32_t>(cfg.window);
        opt.timeout_ms = 30000;
        auto connected = Producer::connect(cfg.host, cfg.port, opt);
        if (!connected) {
            std::fprintf(stderr, "scale_producer: connection %u: %s\n", i, connected.error().message.c_str());
            ++errors;
            continue;
        }
        auto c = std::make_unique<Conn>(Conn{std::move(connected).value()});
        c->fd = c->producer.native_handle();
        sample_size = c->producer.sample_size();
        conns.push_back(std::move(c));
    }
    if (conns.empty()) die("no connection could be opened");
    std::vector<unsigned char> sample(static_cast<std::size_t>(sample_size));
    for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * 131);

    std::vector<std::vector<Conn*>> parts(cfg.threads);
    std::vector<std::vector<unsigned>> part_ids(cfg.threads);
    for (unsigned i = 0; i < conns.size(); ++i) {
        parts[i % cfg.threads].push_back(conns[i].get());
        part_ids[i % cfg.threads].push_back(i);
    }
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < cfg.threads; ++t) {
        if (parts[t].empty()) continue;
        threads.emplace_back(event_loop, parts[t], part_ids[t], std::cref(sample), cfg.window);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(cfg.seconds));
    g_stop.store(true, std::memory_order_relaxed);  // polled by the event loops
    for (auto& t : threads) t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();

    // Read after join, which orders every loop's writes.
    std::uint64_t sent = 0, acked = 0;
    for (const auto& c : conns) {
        sent += c->sent;
        acked += c->acked;
        if (c->failed || c->acked < c->sent) ++errors;
    }
    const double rate = secs > 0 ? static_cast<double>(acked) / secs : 0.0;
    std::printf(
        "{\"host\":\"%s\",\"port\":%u,\"connections\":%u,\"window\":%llu,\"sample_size\":%llu,"
        "\"samples_sent\":%llu,\"samples_acked\":%llu,\"seconds\":%.6f,\"samples_per_s\":%.1f,"
        "\"bytes_per_s\":%.1f,\"errors\":%u}\n",
        cfg.host.c_str(), static_cast<unsigned>(cfg.port), cfg.connections,
        static_cast<unsigned long long>(cfg.window), static_cast<unsigned long long>(sample_size),
        static_cast<unsigned long long>(sent), static_cast<unsigned long long>(acked), secs, rate,
        rate * static_cast<double>(sample_size), errors);
    std::fflush(stdout);
    return errors ? 1 : 0;
}
