// Tests of the header-only producer client (include/ravo/producer.h) against
// an in-test fake server.
//
// The fake server speaks the server side of the protocol: it sends a
// handshake, reads exactly one sample at a time, records it and writes one
// acknowledgement byte. Options cover the faults a producer must survive. Its
// threads block only in short socket timeouts and re-check a stop flag, so
// destruction always joins them; producers in the tests use a timeout_ms so a
// hang fails instead of freezing.

#if __has_include("ravo/producer.h")
#include "ravo/producer.h"
#else
// The test target's include path may lack include/; the header sits at a
// fixed place relative to this file.
#include "../../include/ravo/producer.h"
#endif

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

namespace {

using ravo::producer::ErrorCode;
using ravo::producer::Options;
using ravo::producer::Producer;
using ravo::producer::Status;
using Bytes = std::vector<unsigned char>;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 8;  // sanitizers: fewer iterations
#else
constexpr int kScale = 1;
#endif

struct LeafDef {
    std::uint32_t elem;
    std::vector<std::uint32_t> shape;
};

void put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

Bytes encode_handshake(const std::vector<LeafDef>& layout, const char* magic = "RAVO",
                       unsigned char version = 1) {
    Bytes out(magic, magic + 4);
    out.push_back(version);
    put32(out, static_cast<std::uint32_t>(layout.size()));
    for (const auto& l : layout) {
        put32(out, l.elem);
        put32(out, static_cast<std::uint32_t>(l.shape.size()));
        for (auto d : l.shape) put32(out, d);
    }
    return out;
}

std::uint64_t layout_size(const std::vector<LeafDef>& layout) {
    std::uint64_t total = 0;
    for (const auto& l : layout) {
        std::uint64_t n = l.elem;
        for (auto d : l.shape) n *= d;
        total += n;
    }
    return total;
}

// Binds `fd` to 127.0.0.1 on a free port and returns the bound address.
sockaddr_in bind_loopback(int fd) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return addr;
}

struct FakeConfig {
    std::vector<LeafDef> layout{};
    std::optional<Bytes> handshake{};          // sent instead of the encoded layout
    std::optional<std::uint64_t> close_after{};  // FIN-close after this many samples
    bool close_after_handshake = false;
    unsigned char ack_byte = 0x01;
    // A slow server: each receive takes at most read_chunk bytes and is
    // followed by a pause of read_pause_ms (0: read at full speed). Its
    // receive buffer is then small, so the producer's writes really wait.
    std::size_t read_chunk = 1 << 20;
    int read_pause_ms = 0;
};

class FakeServer {
public:
    explicit FakeServer(FakeConfig cfg) : cfg_(std::move(cfg)) {
        handshake_ = cfg_.handshake ? *cfg_.handshake : encode_handshake(cfg_.layout);
        sample_size_ = layout_size(cfg_.layout);
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(listen_fd_, 0);
        if (cfg_.read_pause_ms > 0) {
            const int small = 64 * 1024;  // inherited by accepted connections
            EXPECT_EQ(::setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
        }
        port_ = ntohs(bind_loopback(listen_fd_).sin_port);
        EXPECT_EQ(::listen(listen_fd_, 64), 0);
        accept_thread_ = std::thread([this] { accept_loop(); });
    }

    ~FakeServer() {
        stop_.store(true);  // seq_cst: read by every server thread's loop check
        {
            std::lock_guard lk(mu_);
            acks_held_ = false;
        }
        cv_.notify_all();
        accept_thread_.join();
        for (auto& t : conn_threads_) t.join();
        EXPECT_EQ(::close(listen_fd_), 0);
    }

    std::uint16_t port() const { return port_; }

    void hold_acks() {
        std::lock_guard lk(mu_);
        acks_held_ = true;
    }
    void release_acks() {
        {
            std::lock_guard lk(mu_);
            acks_held_ = false;
        }
        cv_.notify_all();
    }

    std::vector<Bytes> samples(std::size_t conn = 0) {
        std::lock_guard lk(mu_);
        return conn < received_.size() ? received_[conn] : std::vector<Bytes>{};
    }
    std::size_t connections() {
        std::lock_guard lk(mu_);
        return received_.size();
    }
    // Waits (bounded) until connection `conn` recorded `n` samples.
    bool wait_samples(std::size_t n, std::size_t conn = 0) {
        std::unique_lock lk(mu_);
        return cv_.wait_for(lk, std::chrono::seconds(20), [&] {
            return conn < received_.size() && received_[conn].size() >= n;
        });
    }

private:
    void accept_loop() {
        while (!stop_.load()) {
            pollfd p{listen_fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, 50);
            if (r <= 0) continue;
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::size_t index;
            {
                std::lock_guard lk(mu_);
                index = received_.size();
                received_.emplace_back();
            }
            // Only this thread touches conn_threads_ until the destructor
            // joins it first.
            conn_threads_.emplace_back([this, fd, index] { serve(fd, index); });
        }
    }

    // Exactly n bytes; false at end of stream, error or stop.
    bool read_exact(int fd, unsigned char* p, std::uint64_t n) {
        while (n > 0) {
            if (stop_.load()) return false;
            const ssize_t r = ::recv(fd, p, std::min<std::uint64_t>(n, cfg_.read_chunk), 0);
            if (r > 0) {
                p += r;
                n -= static_cast<std::uint64_t>(r);
                if (cfg_.read_pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(cfg_.read_pause_ms));
            } else if (r == 0) {
                return false;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    bool write_all(int fd, const unsigned char* p, std::size_t n) {
        while (n > 0) {
            const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
            if (w > 0) {
                p += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            if (stop_.load()) return false;
        }
        return true;
    }

    void serve(int fd, std::size_t index) {
        // Short receive timeouts let the thread notice stop_.
        timeval tv{0, 50000};
        EXPECT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
        EXPECT_EQ(::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
        const int one = 1;
        EXPECT_EQ(::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one), 0);
        // Layouts no producer accepts (empty or absurdly large samples) get
        // the handshake only; the producer is expected to hang up.
        const bool serve_samples =
            !cfg_.close_after_handshake && sample_size_ > 0 && sample_size_ <= (1u << 28);
        Bytes sample(serve_samples ? sample_size_ : 0);
        std::uint64_t count = 0;
        bool ok = write_all(fd, handshake_.data(), handshake_.size()) && serve_samples;
        while (ok && (!cfg_.close_after || count < *cfg_.close_after)) {
            if (!read_exact(fd, sample.data(), sample.size())) {
                ok = false;
                break;
            }
            {
                std::unique_lock lk(mu_);
                received_[index].push_back(sample);
                cv_.notify_all();
                cv_.wait(lk, [&] { return !acks_held_ || stop_.load(); });
            }
            ++count;
            ok = write_all(fd, &cfg_.ack_byte, 1);
        }
        if (ok && cfg_.close_after) {
            // FIN first, then drain what the producer still sends so that the
            // close does not become a reset: the producer reads exactly
            // close_after acknowledgements and then the end of the stream.
            EXPECT_EQ(::shutdown(fd, SHUT_WR), 0);
            unsigned char sink[65536];
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!stop_.load() && std::chrono::steady_clock::now() < until) {
                const ssize_t r = ::recv(fd, sink, sizeof sink, 0);
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) break;
            }
        }
        EXPECT_EQ(::close(fd), 0);
    }

    FakeConfig cfg_;
    Bytes handshake_;
    std::uint64_t sample_size_ = 0;
    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread accept_thread_;
    std::vector<std::thread> conn_threads_;  // owned by the accept thread, then the destructor
    std::mutex mu_;                          // guards received_ and acks_held_
    std::condition_variable cv_;
    std::vector<std::vector<Bytes>> received_;
    bool acks_held_ = false;
};

Options opts(std::uint32_t window = 64, int timeout_ms = 20000) {
    Options o;
    o.window = window;
    o.timeout_ms = timeout_ms;
    return o;
}

Producer connect_ok(const FakeServer& s, Options o = opts()) {
    auto r = Producer::connect("127.0.0.1", s.port(), o);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return std::move(r).value();
}

std::vector<Bytes> make_samples(std::size_t size, std::size_t count) {
    std::vector<Bytes> out(count, Bytes(size));
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = 0; j < size; ++j) out[i][j] = static_cast<unsigned char>(i * 7 + j);
    return out;
}

std::span<const std::byte> bytes_of(const void* p, std::size_t n) {
    return {static_cast<const std::byte*>(p), n};
}

// ------------------------------------------------------------- handshake

TEST(ProducerHandshake, ExampleLayoutOf25Bytes) {
    const Bytes expected = {0x52, 0x41, 0x56, 0x4F, 0x01, 1, 0, 0, 0, 4, 0, 0, 0,
                            2,    0,    0,    0,    2,    0, 0, 0, 3, 0, 0, 0};
    ASSERT_EQ(encode_handshake({{4, {2, 3}}}), expected);
    FakeServer server({.layout = {{4, {2, 3}}}});
    Producer p = connect_ok(server);
    ASSERT_EQ(p.layout().size(), 1u);
    EXPECT_EQ(p.layout()[0].dtype_size, 4u);
    EXPECT_EQ(p.layout()[0].shape, (std::vector<std::uint64_t>{2, 3}));
    EXPECT_EQ(p.layout()[0].nbytes, 24u);
    EXPECT_EQ(p.sample_size(), 24u);
    EXPECT_EQ(p.window(), 64u);
    EXPECT_TRUE(p.close().ok());
}

TEST(ProducerHandshake, ScalarAndZeroDimensionLeaves) {
    FakeServer server({.layout = {{8, {}}, {4, {0, 5}}, {2, {3}}}});
    Producer p = connect_ok(server);
    ASSERT_EQ(p.layout().size(), 3u);
    EXPECT_TRUE(p.layout()[0].shape.empty());
    EXPECT_EQ(p.layout()[0].nbytes, 8u);
    EXPECT_EQ(p.layout()[1].nbytes, 0u);
    EXPECT_EQ(p.layout()[2].nbytes, 6u);
    EXPECT_EQ(p.sample_size(), 14u);
    const char a[] = "AAAAAAAA";
    const char c[] = "bcdefg";
    std::span<const std::byte> leaves[] = {bytes_of(a, 8), {}, bytes_of(c, 6)};
    ASSERT_TRUE(p.send_leaves(leaves).ok());
    ASSERT_TRUE(p.flush().ok());
    EXPECT_EQ(p.acked(), 1u);
    const Bytes want = {'A', 'A', 'A', 'A', 'A', 'A', 'A', 'A', 'b', 'c', 'd', 'e', 'f', 'g'};
    EXPECT_EQ(server.samples(), std::vector<Bytes>{want});
    EXPECT_TRUE(p.close().ok());
}

TEST(ProducerHandshake, WrongMagicOrVersionIsAProtocolError) {
    {
        FakeServer server({.layout = {{4, {2, 3}}}, .handshake = encode_handshake({{4, {2, 3}}}, "HTTP")});
        auto r = Producer::connect("127.0.0.1", server.port(), opts());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::Protocol);
        EXPECT_NE(r.error().message.find("expected magic 52 41 56 4f"), std::string::npos)
            << r.error().message;
        EXPECT_NE(r.error().message.find("received 48 54 54 50"), std::string::npos);
    }
    {
        FakeServer server({.layout = {{4, {2, 3}}}, .handshake = encode_handshake({{4, {2, 3}}}, "RAVO", 2)});
        auto r = Producer::connect("127.0.0.1", server.port(), opts());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::Protocol);
        EXPECT_NE(r.error().message.find("version"), std::string::npos);
        EXPECT_NE(r.error().message.find("expected 1, received 2"), std::string::npos);
    }
}

TEST(ProducerHandshake, AShortWrongMagicIsRefusedAtOnceNotAfterATimeout) {
    // The peer sends a few bytes that cannot begin a handshake and then
    // waits, as a server of another protocol would.
    for (const char* greeting : {"NOPE", "NO", "RAX"}) {
        Bytes hs(greeting, greeting + std::strlen(greeting));
        FakeServer server({.layout = {{1, {4}}}, .handshake = hs});
        const auto t0 = std::chrono::steady_clock::now();
        auto r = Producer::connect("127.0.0.1", server.port(), opts(64, 20000));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::Protocol) << r.error().message;
        EXPECT_NE(r.error().message.find("expected magic 52 41 56 4f"), std::string::npos) << r.error().message;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    }
}

TEST(ProducerHandshake, TruncatedZeroSizedAndOverflowingLayoutsAreRefused) {
    Bytes cut = encode_handshake({{4, {2, 3}}});
    cut.resize(15);
    {
        FakeServer server({.layout = {{4, {2, 3}}}, .handshake = cut, .close_after_handshake = true});
        auto r = Producer::connect("127.0.0.1", server.port(), opts());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::Closed);
        EXPECT_NE(r.error().message.find("during the handshake after 15 bytes"), std::string::npos)
            << r.error().message;
    }
    {
        FakeServer server({.layout = {{4, {0}}, {8, {3, 0}}}});
        auto r = Producer::connect("127.0.0.1", server.port(), opts());
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, ErrorCode::Protocol);
        EXPECT_NE(r.error().message.find("sample size of 0 bytes"), std::string::npos);
    }
    {
        FakeServer server({.layout = {{0xFFFFFFFFu, {0xFFFFFFFFu, 0xFFFFFFFFu}}}});
        auto r = Producer::connect("127.0.0.1", server.port(), opts());
        ASSERT_FALSE(r.ok());
        EXPECT_NE(r.error().message.find("does not fit in 64 bits"), std::string::npos);
    }
}

TEST(ProducerHandshake, ZeroDimensionAfterAHugeProductIsAnEmptyLeafNotAnOverflow) {
    // The server accepts this layout (its first leaf has 0 bytes); the
    // client once multiplied up to the zero, saw the product wrap and
    // refused it.
    FakeServer server({.layout = {{4, {0x80000000u, 0x80000000u, 0x80000000u, 0}}, {1, {4}}}});
    Producer p = connect_ok(server);
    EXPECT_EQ(p.layout()[0].nbytes, 0u);
    EXPECT_EQ(p.sample_size(), 4u);
    const char d[] = "wxyz";
    std::span<const std::byte> leaves[] = {{}, bytes_of(d, 4)};
    ASSERT_TRUE(p.send_leaves(leaves).ok());
    ASSERT_TRUE(p.flush().ok());
    EXPECT_EQ(server.samples(), (std::vector<Bytes>{{'w', 'x', 'y', 'z'}}));
    EXPECT_TRUE(p.close().ok());
}

TEST(ProducerHandshake, ConnectFailuresAreValues) {
    // A port that was just free: nothing listens there.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const sockaddr_in addr = bind_loopback(fd);
    ASSERT_EQ(::close(fd), 0);
    auto r = Producer::connect("127.0.0.1", ntohs(addr.sin_port), opts());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::Connect);
    EXPECT_NE(r.error().message.find("cannot connect to 127.0.0.1:"), std::string::npos);

    auto w = Producer::connect("127.0.0.1", 1, opts(0));
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().code, ErrorCode::InvalidArgument);
}

TEST(ProducerHandshake, AConnectThatRunsOutOfTimeIsATimeout) {
    // A listener whose accept queue is full drops further connection
    // requests, so the connect waits until the producer's own deadline.
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(lfd, 0);
    const sockaddr_in addr = bind_loopback(lfd);
    ASSERT_EQ(::listen(lfd, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << std::strerror(errno);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto r = Producer::connect("127.0.0.1", ntohs(addr.sin_port), opts(64, 300));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::Timeout) << r.error().message;
    EXPECT_NE(r.error().message.find("cannot connect to 127.0.0.1:"), std::string::npos) << r.error().message;
    EXPECT_NE(r.error().message.find("timed out after 300 ms"), std::string::npos) << r.error().message;
    for (int fd : fillers) EXPECT_EQ(::close(fd), 0);
    EXPECT_EQ(::close(lfd), 0);
}

// ------------------------------------------------------ window and acks

TEST(ProducerWindow, PipelinesUpToTheWindowThenWaits) {
    for (std::uint32_t window : {1u, 8u, 64u}) {
        SCOPED_TRACE(window);
        FakeServer server({.layout = {{4, {2, 3}}}});
        server.hold_acks();
        Producer p = connect_ok(server, opts(window, 300));
        const auto data = make_samples(24, 200);
        for (std::uint32_t i = 0; i < window; ++i) ASSERT_TRUE(p.send(data[i].data()).ok());
        EXPECT_EQ(p.sent(), window);
        EXPECT_EQ(p.acked(), 0u);  // sent without waiting for any acknowledgement
        // The window is full: the next send waits for an acknowledgement and
        // times out without writing, leaving the stream usable.
        Status st = p.send(data[window].data());
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().code, ErrorCode::Timeout);
        EXPECT_EQ(st.error().sent, window);
        EXPECT_EQ(p.sent(), window);
        server.release_acks();
        for (std::size_t i = window; i < data.size(); ++i) {
            ASSERT_TRUE(p.send(data[i].data()).ok());
            ASSERT_LE(p.outstanding(), window);
        }
        ASSERT_TRUE(p.flush().ok());
        EXPECT_EQ(p.acked(), 200u);
        EXPECT_EQ(server.samples(), data);
        EXPECT_TRUE(p.close().ok());
    }
}

// send_many() takes packed samples and writes as many as the window allows
// at once: every sample arrives once and in order, a full window still stops
// it at a sample boundary (a timeout there leaves the stream usable, with
// sent() saying where to resume), and an impossible size changes nothing.
TEST(ProducerWindow, SendManyWritesPackedSamplesWithinTheWindow) {
    for (std::uint32_t window : {1u, 8u, 64u}) {
        SCOPED_TRACE(window);
        FakeServer server({.layout = {{4, {2, 3}}}});
        server.hold_acks();
        Producer p = connect_ok(server, opts(window, 300));
        const auto data = make_samples(24, 300);
        Bytes packed;
        for (const auto& d : data) packed.insert(packed.end(), d.begin(), d.end());

        ASSERT_TRUE(p.send_many(packed.data(), 0).ok());
        EXPECT_EQ(p.sent(), 0u);
        Status st = p.send_many(packed.data(), std::numeric_limits<std::size_t>::max() / 24 + 1);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().code, ErrorCode::InvalidArgument);

        // Acknowledgements held: the window fills, then the wait times out.
        st = p.send_many(packed.data(), window + 5);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().code, ErrorCode::Timeout);
        EXPECT_EQ(p.sent(), window);
        server.release_acks();
        const std::size_t resume = p.sent();
        ASSERT_TRUE(p.send_many(packed.data() + resume * 24, data.size() - resume).ok());
        EXPECT_EQ(p.sent(), data.size());
        ASSERT_LE(p.outstanding(), window);
        ASSERT_TRUE(p.flush().ok());
        EXPECT_EQ(p.acked(), data.size());
        EXPECT_EQ(server.samples(), data);
        EXPECT_TRUE(p.close().ok());
    }
}

// send() reads no acknowledgements after writing, so a producer that
// stays inside its window only learns of them through poll_acks(); that call
// must bring the count up to date, and report a server that left.
TEST(ProducerWindow, PollAcksBringsTheCountUpToDateWithoutAFlush) {
    const auto data = make_samples(8, 5);
    const auto poll_until = [](Producer& p, auto done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        Status st;
        while ((st = p.poll_acks()).ok() && !done(p) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return st;
    };
    {
        FakeServer server({.layout = {{4, {2}}}});
        Producer p = connect_ok(server);
        for (const auto& s : data) ASSERT_TRUE(p.send(s.data()).ok());
        ASSERT_TRUE(poll_until(p, [](Producer& q) { return q.acked() == 5; }).ok());
        EXPECT_EQ(p.acked(), 5u);
        EXPECT_EQ(p.outstanding(), 0u);
        EXPECT_TRUE(p.close().ok());
    }
    {
        // The server acknowledges all five and then leaves: polling reports
        // the end of the stream with the full count.
        FakeServer server({.layout = {{4, {2}}}, .close_after = 5});
        Producer p = connect_ok(server);
        for (const auto& s : data) ASSERT_TRUE(p.send(s.data()).ok());
        Status st = poll_until(p, [](Producer&) { return false; });
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().code, ErrorCode::Closed);
        EXPECT_EQ(st.error().acked, 5u);
        EXPECT_EQ(p.acked(), 5u);
    }
}

TEST(ProducerWindow, LargeSamplesLeafByLeaf) {
    // Megabytes per sample: written in many partial writes of several leaves.
    FakeServer server({.layout = {{1, {3, 1000003}}, {4, {5}}, {8, {}}}});
    Producer p = connect_ok(server, opts(3));
    const std::size_t big = 3 * 1000003;
    ASSERT_EQ(p.sample_size(), big + 28);
    std::vector<Bytes> want;
    for (int i = 0; i < 5; ++i) {
        Bytes a(big, static_cast<unsigned char>(i)), b(20, static_cast<unsigned char>(0x40 + i)),
            c(8, static_cast<unsigned char>(0x80 + i));
        std::span<const std::byte> leaves[] = {bytes_of(a.data(), a.size()),
                                               bytes_of(b.data(), b.size()),
                                               bytes_of(c.data(), c.size())};
        ASSERT_TRUE(p.send_leaves(leaves).ok());
        Bytes all = a;
        all.insert(all.end(), b.begin(), b.end());
        all.insert(all.end(), c.begin(), c.end());
        want.push_back(std::move(all));
    }
    ASSERT_TRUE(p.close().ok());
    EXPECT_EQ(p.acked(), 5u);
    EXPECT_EQ(server.samples(), want);
}

TEST(ProducerWindow, LeavesAreCheckedBeforeWriting) {
    FakeServer server({.layout = {{4, {2, 3}}, {8, {}}}});
    Producer p = connect_ok(server);
    Bytes a(24, 'a'), b(8, 'b'), short_b(7, 'b');
    std::span<const std::byte> one[] = {bytes_of(a.data(), 24)};
    Status st = p.send_leaves(one);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().code, ErrorCode::InvalidArgument);
    EXPECT_EQ(st.error().message, "sample has 1 leaves, the layout has 2");
    std::span<const std::byte> bad[] = {bytes_of(a.data(), 24), bytes_of(short_b.data(), 7)};
    st = p.send_leaves(bad);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().message, "leaf 1: 7 bytes given, the layout needs 8 bytes");
    EXPECT_EQ(p.sent(), 0u);
    std::span<const std::byte> good[] = {bytes_of(a.data(), 24), bytes_of(b.data(), 8)};
    ASSERT_TRUE(p.send_leaves(good).ok());
    ASSERT_TRUE(p.close().ok());
    Bytes want = a;
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(server.samples(), std::vector<Bytes>{want});
}

// Rows of each leaf become samples in order: within one packing chunk
// (small samples) and across chunks of whole samples (samples of 1.5 MB,
// two to a chunk, the last chunk short).
TEST(ProducerWindow, SendStackedPacksRowsIntoSamplesInOrder) {
    struct Case {
        std::vector<LeafDef> layout;
        std::size_t count;
        std::uint32_t window;
    };
    const Case cases[] = {
        {{{1, {2, 3}}, {8, {}}, {4, {0}}, {2, {2}}}, 150, 8},
        {{{1, {1500000}}, {4, {3}}, {8, {}}}, 5, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        FakeServer server({.layout = c.layout});
        Producer p = connect_ok(server, opts(c.window));
        std::vector<Bytes> columns;
        for (std::size_t i = 0; i < c.layout.size(); ++i) {
            const std::size_t nbytes = layout_size({c.layout[i]});
            Bytes col(c.count * nbytes);
            for (std::size_t k = 0; k < col.size(); ++k) {
                col[k] = static_cast<unsigned char>(k * 131 + i * 17 + k / (nbytes ? nbytes : 1));
            }
            columns.push_back(std::move(col));
        }
        std::vector<std::span<const std::byte>> leaves;
        for (const auto& col : columns) leaves.push_back(bytes_of(col.data(), col.size()));
        const std::vector<std::span<const std::byte>> no_rows(c.layout.size());
        ASSERT_TRUE(p.send_stacked(no_rows, 0).ok());
        EXPECT_EQ(p.sent(), 0u);
        ASSERT_TRUE(p.send_stacked(leaves, c.count).ok());
        EXPECT_EQ(p.sent(), c.count);
        ASSERT_TRUE(p.close().ok());
        EXPECT_EQ(p.acked(), c.count);
        std::vector<Bytes> want(c.count);
        for (std::size_t row = 0; row < c.count; ++row) {
            for (std::size_t i = 0; i < c.layout.size(); ++i) {
                const std::size_t nbytes = layout_size({c.layout[i]});
                const auto* from = columns[i].data() + row * nbytes;
                want[row].insert(want[row].end(), from, from + nbytes);
            }
        }
        EXPECT_EQ(server.samples(), want);
    }
}

TEST(ProducerWindow, SendStackedChecksEveryLeafBeforeWriting) {
    FakeServer server({.layout = {{4, {2}}, {8, {}}}});
    Producer p = connect_ok(server);
    Bytes a(3 * 8, 'a'), b(3 * 8, 'b'), short_b(3 * 8 - 1, 'b');
    const auto expect_invalid = [&](std::span<const std::span<const std::byte>> leaves,
                                    std::size_t count, const std::string& text) {
        Status st = p.send_stacked(leaves, count);
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().code, ErrorCode::InvalidArgument);
        EXPECT_EQ(st.error().message, text);
    };
    std::span<const std::byte> one[] = {bytes_of(a.data(), a.size())};
    expect_invalid(one, 3, "batch has 1 leaves, the layout has 2");
    std::span<const std::byte> bad[] = {bytes_of(a.data(), a.size()),
                                        bytes_of(short_b.data(), short_b.size())};
    expect_invalid(bad, 3, "leaf 1: 23 bytes given, 3 samples need 24 bytes");
    std::span<const std::byte> good[] = {bytes_of(a.data(), a.size()), bytes_of(b.data(), b.size())};
    expect_invalid(good, 2, "leaf 0: 24 bytes given, 2 samples need 16 bytes");
    expect_invalid(good, std::numeric_limits<std::size_t>::max() / 4,
                   "leaf 0: " + std::to_string(std::numeric_limits<std::size_t>::max() / 4) +
                       " rows of 8 bytes do not fit in memory");
    EXPECT_EQ(p.sent(), 0u);
    ASSERT_TRUE(p.send_stacked(good, 3).ok());
    ASSERT_TRUE(p.close().ok());
    Bytes sample;
    sample.insert(sample.end(), a.begin(), a.begin() + 8);
    sample.insert(sample.end(), b.begin(), b.begin() + 8);
    EXPECT_EQ(server.samples(), std::vector<Bytes>(3, sample));
}

TEST(ProducerWindow, ManyConnectionsConserveEverySample) {
    // One producer per thread; the first 16 bytes of each sample carry
    // (connection id, sequence number). Every sample must arrive once, in
    // order on its connection.
    constexpr int kThreads = 6;
    const std::uint64_t per = 3000 / kScale;
    FakeServer server({.layout = {{8, {2}}, {1, {48}}}});
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto r = Producer::connect("127.0.0.1", server.port(), opts(16));
            if (!r.ok()) {
                failures.fetch_add(1);  // seq_cst: read after join
                return;
            }
            Producer p = std::move(r).value();
            Bytes s(p.sample_size(), static_cast<unsigned char>(t));
            for (std::uint64_t seq = 0; seq < per; ++seq) {
                const std::uint64_t id = static_cast<std::uint64_t>(t);
                std::memcpy(s.data(), &id, 8);
                std::memcpy(s.data() + 8, &seq, 8);
                if (!p.send(s.data()).ok()) {
                    failures.fetch_add(1);
                    return;
                }
            }
            if (!p.close().ok() || p.acked() != per) failures.fetch_add(1);
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(failures.load(), 0);
    std::set<std::uint64_t> ids;
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < server.connections(); ++c) {
        const auto got = server.samples(c);
        ASSERT_EQ(got.size(), per);
        std::uint64_t id;
        std::memcpy(&id, got[0].data(), 8);
        ids.insert(id);
        for (std::uint64_t seq = 0; seq < per; ++seq) {
            std::uint64_t gid, gseq;
            std::memcpy(&gid, got[seq].data(), 8);
            std::memcpy(&gseq, got[seq].data() + 8, 8);
            ASSERT_EQ(gid, id);
            ASSERT_EQ(gseq, seq);
            ASSERT_EQ(got[seq][16], static_cast<unsigned char>(id));
        }
        total += got.size();
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(total, per * kThreads);
}

// -------------------------------------------------- server failures

TEST(ProducerServerGone, CloseMidStreamCarriesTheAckedCount) {
    FakeServer server({.layout = {{4, {2, 3}}}, .close_after = 17});
    server.hold_acks();  // all 20 samples are written before any ack
    Producer p = connect_ok(server);
    const auto data = make_samples(24, 20);
    for (const auto& s : data) ASSERT_TRUE(p.send(s.data()).ok());
    server.release_acks();
    Status st = p.flush();
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().code, ErrorCode::Closed);
    EXPECT_EQ(st.error().message,
              "server closed the connection after 17 of 20 samples were acknowledged");
    EXPECT_EQ(st.error().acked, 17u);
    EXPECT_EQ(st.error().sent, 20u);
    EXPECT_EQ(p.acked(), 17u);
    // The failure sticks; closing releases the socket quietly.
    Status again = p.send(data[0].data());
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().message, st.error().message);
    EXPECT_TRUE(p.close().ok());
    EXPECT_FALSE(p.is_open());
    EXPECT_EQ(p.send(data[0].data()).error().code, ErrorCode::State);
    EXPECT_EQ(server.samples(), std::vector<Bytes>(data.begin(), data.begin() + 17));
}

TEST(ProducerServerGone, WritesToAVanishedServerFail) {
    FakeServer server({.layout = {{1, {65536}}}, .close_after_handshake = true});
    Producer p = connect_ok(server, opts(1u << 30));
    Bytes s(65536);
    Status st;
    for (int i = 0; i < 100000 && st.ok(); ++i) st = p.send(s.data());
    if (st.ok()) st = p.flush();
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().code, ErrorCode::Closed);
    EXPECT_EQ(st.error().message.rfind("server closed the connection after 0 of ", 0), 0u)
        << st.error().message;
}

TEST(ProducerServerGone, BadOrExcessAcknowledgementsAreProtocolErrors) {
    {
        FakeServer server({.layout = {{1, {4}}}, .ack_byte = 0x02});
        server.hold_acks();
        Producer p = connect_ok(server);
        ASSERT_TRUE(p.send("abcd").ok());
        server.release_acks();
        Status st = p.flush();
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().code, ErrorCode::Protocol);
        EXPECT_NE(st.error().message.find("received 0x02 after 0 of 1 samples"), std::string::npos)
            << st.error().message;
    }
    {
        // Two acknowledgements arrive before anything was sent.
        Bytes hs = encode_handshake({{1, {4}}});
        hs.push_back(0x01);
        hs.push_back(0x01);
        FakeServer server({.layout = {{1, {4}}}, .handshake = hs});
        Producer p = connect_ok(server);
        Status st = p.send("abcd");
        if (st.ok()) st = p.flush();
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().code, ErrorCode::Protocol);
        EXPECT_NE(st.error().message.find("acknowledgements for 1 samples"), std::string::npos)
            << st.error().message;
        // The one sample sent was acknowledged before the surplus byte.
        EXPECT_EQ(st.error().acked, 1u);
        EXPECT_EQ(p.acked(), 1u);
    }
}

TEST(ProducerTimeout, ASlowServerThatKeepsReadingNeverTimesOutALargeSample) {
    // 8 MiB at 64 KiB per 20 ms takes over two seconds against a 250 ms
    // timeout. Each send buffer size tests one kind of progress:
    // - 64 KiB: the socket turns writable again within a read or two;
    // - 2 MiB (4 MiB as the kernel counts it): it turns writable only once a
    //   third is free, about 400 ms of reading, so only the bytes the peer
    //   takes from the buffer show that the stream is alive.
    constexpr std::uint32_t kSize = 8u << 20;
    const Bytes sample = make_samples(kSize, 1)[0];
    for (const int sndbuf : {64 * 1024, 2 << 20}) {
        FakeServer server({.layout = {{1, {kSize}}}, .read_chunk = 64 * 1024, .read_pause_ms = 20});
        Producer p = connect_ok(server, opts(4, 250));
        ASSERT_EQ(::setsockopt(p.native_handle(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
        Status st = p.send(sample.data());
        ASSERT_TRUE(st.ok()) << "send buffer " << sndbuf << ": " << st.error().message;
        st = p.flush();
        ASSERT_TRUE(st.ok()) << st.error().message;
        ASSERT_TRUE(server.wait_samples(1));
        EXPECT_EQ(server.samples()[0], sample);
    }
}

TEST(ProducerTimeout, AcknowledgementsThatKeepComingNeverTimeOutAFlush) {
    // 40 samples acknowledged one per 20 ms: 800 ms in all against a
    // 300 ms timeout that no single wait comes near.
    FakeServer server({.layout = {{1, {4}}}, .read_pause_ms = 20});
    Producer p = connect_ok(server, opts(64, 300));
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(p.send("abcd").ok());
    Status st = p.flush();
    ASSERT_TRUE(st.ok()) << st.error().message;
    EXPECT_EQ(p.acked(), 40u);
}

TEST(ProducerLifecycle, MoveKeepsTheConnection) {
    FakeServer server({.layout = {{4, {2}}}});
    Producer a = connect_ok(server);
    ASSERT_TRUE(a.send("12345678").ok());
    Producer b = std::move(a);
    EXPECT_FALSE(a.is_open());
    EXPECT_EQ(a.send("12345678").error().code, ErrorCode::State);
    EXPECT_TRUE(a.close().ok());  // closing a moved-from producer does nothing
    ASSERT_TRUE(b.send("abcdefgh").ok());
    EXPECT_EQ(b.sent(), 2u);
    ASSERT_TRUE(b.close().ok());
    EXPECT_EQ(b.acked(), 2u);
    ASSERT_TRUE(server.wait_samples(2));
    EXPECT_EQ(server.samples().size(), 2u);
}

// BBR's paced segments arrive out of order over loopback and halve a
// pipelined stream of large samples: a socket bound for loopback leaves it
// before it connects; one bound elsewhere keeps it.
TEST(ProducerConnect, LoopbackConnectionLeavesBbrWhosePacingReordersSegments) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    auto congestion_after = [](const sockaddr* to) -> std::string {
        const int fd = ::socket(to->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return "socket failed";
        if (::setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, "bbr", 3) != 0) {
            ::close(fd);
            return "no bbr";
        }
        ravo::producer::detail::avoid_pacing_on_loopback(fd, to);
        char name[16] = {};
        socklen_t len = sizeof name - 1;
        const bool read = ::getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, &len) == 0;
        ::close(fd);
        return read ? std::string(name) : "getsockopt failed";
    };
    auto with_v4 = [&](const char* text) {
        EXPECT_EQ(::inet_pton(AF_INET, text, &v4.sin_addr), 1);
        return congestion_after(reinterpret_cast<const sockaddr*>(&v4));
    };
    auto with_v6 = [&](const char* text) {
        EXPECT_EQ(::inet_pton(AF_INET6, text, &v6.sin6_addr), 1);
        return congestion_after(reinterpret_cast<const sockaddr*>(&v6));
    };
    const std::string first = with_v4("127.0.0.1");
    if (first == "no bbr") GTEST_SKIP() << "bbr is not available here";
    const std::set<std::string> unpaced = {"cubic", "reno"};
    EXPECT_TRUE(unpaced.count(first)) << first;
    EXPECT_TRUE(unpaced.count(with_v4("127.1.2.3")));
    EXPECT_TRUE(unpaced.count(with_v6("::1")));
    EXPECT_TRUE(unpaced.count(with_v6("::ffff:127.0.0.1")));
    EXPECT_EQ(with_v4("10.0.0.1"), "bbr");
    EXPECT_EQ(with_v6("::ffff:10.0.0.1"), "bbr");
    EXPECT_EQ(with_v6("fe80::1"), "bbr");
}

}  // namespace
