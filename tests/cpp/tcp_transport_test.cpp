// The handshake layout and the transport's own start/shutdown life cycle.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ingress/drainer_pool.h"
#include "transport/tcp/handshake.h"
#include "test_util.h"
#include "transport/tcp/tcp_transport.h"

namespace ravo::transport::tcp {
namespace {

using ravo::testing::eventually;

TEST(Handshake, MatchesTheDocumentedBytes) {
    const std::vector<std::uint8_t> expect = {0x52, 0x41, 0x56, 0x4F, 0x01, 0x01, 0, 0, 0, 0x04, 0, 0, 0,
                                              0x02, 0,    0,    0,    0x02, 0,    0, 0, 0x03, 0, 0, 0};
    const std::vector<ArraySpec> one{ArraySpec{{2, 3}, 4}};
    EXPECT_EQ(encode_handshake(one), expect);
    EXPECT_EQ(sample_size(one), 24u);
    // A scalar leaf has an 8-byte record; a zero dimension keeps its record.
    const std::vector<ArraySpec> two{ArraySpec{{}, 8}, ArraySpec{{5, 0}, 2}};
    const auto hs = encode_handshake(two);
    ASSERT_EQ(hs.size(), 9u + 8u + 16u);
    EXPECT_EQ(hs[5], 2);
    EXPECT_EQ(hs[9], 8);
    EXPECT_EQ(hs[13], 0);   // ndim of the scalar
    EXPECT_EQ(hs[21], 2);   // ndim of the second leaf
    EXPECT_EQ(hs[25], 5);
    EXPECT_EQ(hs[29], 0);
    EXPECT_EQ(sample_size(two), 8u);
}

TEST(Handshake, RefusesValuesThatDoNotFitIn32Bits) {
    EXPECT_TRUE(check_handshake_fits({ArraySpec{{0xFFFFFFFFull}, 0xFFFFFFFFull}}).ok());
    EXPECT_EQ(check_handshake_fits({ArraySpec{{1}, 1}, ArraySpec{{1ull << 32}, 1}}).error().message,
              "leaf 1: dimension 4294967296 does not fit in the handshake's 32 bits");
    EXPECT_EQ(check_handshake_fits({ArraySpec{{}, 1ull << 32}}).error().message,
              "leaf 0: dtype_size 4294967296 does not fit in the handshake's 32 bits");
}

int connect_to_address(in_addr where, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = where;
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int connect_to(std::uint16_t port) { return connect_to_address(in_addr{htonl(INADDR_LOOPBACK)}, port); }

// A drainer pool of one drainer over a store of one 4-byte scalar leaf
// (batches of 1, 2 of them): the transport needs a pool, not its samples.
std::shared_ptr<DrainerPool> one_drainer_pool() {
    auto metrics = Metrics::create(1);
    auto sampler = FifoSampler::with_metrics(1, 2, metrics).value();
    std::shared_ptr<Store> store(
        Store::create({ArraySpec{{}, 4}}, 1, 2, std::move(sampler), std::make_unique<FifoRemover>()).value());
    return DrainerPool::create(store, 1, 2, metrics).value();
}

// Reads exactly `n` bytes; false on end of stream or an error.
bool recv_exact(int fd, std::uint8_t* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd, out + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// Connects and reads the handshake of one 4-byte scalar leaf (17 bytes), with
// a receive limit so that a regression fails instead of hanging. -1 on failure.
int connect_past_handshake(std::uint16_t port) {
    const int fd = connect_to(port);
    if (fd < 0) return -1;
    const timeval limit{10, 0};
    std::uint8_t hs[17];
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 || !recv_exact(fd, hs, sizeof hs)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(TcpTransport, StartShutdownStartBindsAgain) {
    auto pool = one_drainer_pool();
    TcpTransport t({ArraySpec{{}, 4}}, pool, 1, 0);
    EXPECT_FALSE(t.port());
    t.shutdown();  // not started: nothing happens
    ASSERT_TRUE(t.start().ok());
    const auto first = t.port();
    ASSERT_TRUE(first);
    EXPECT_NE(*first, 0);
    EXPECT_EQ(t.start().error().message, "TCP server already started");
    EXPECT_EQ(t.port(), first);

    const int fd = connect_to(*first);
    ASSERT_GE(fd, 0);
    std::uint8_t hs[17];  // the handshake of one 4-byte scalar leaf
    ASSERT_TRUE(recv_exact(fd, hs, sizeof hs));
    EXPECT_EQ(hs[0], 0x52);
    t.shutdown();
    EXPECT_FALSE(t.port());
    std::uint8_t byte;
    EXPECT_LE(::recv(fd, &byte, 1, 0), 0);  // the server closed the connection
    ::close(fd);
    EXPECT_LT(connect_to(*first), 0);  // nothing listens any more
    t.shutdown();

    ASSERT_TRUE(t.start().ok());
    ASSERT_TRUE(t.port());
    const int again = connect_to(*t.port());
    EXPECT_GE(again, 0);
    ::close(again);
    pool->shutdown();
}

// The server ends its connections first at shutdown, so their ends on the
// server's port linger in TIME_WAIT; without SO_REUSEADDR a restart on a
// fixed port would fail with "Address already in use" for a minute.
TEST(TcpTransport, AFixedPortBindsAgainWhileItsClosedConnectionsLinger) {
    std::uint16_t port = 0;
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(probe, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        port = ntohs(addr.sin_port);
        ::close(probe);
    }
    auto pool = one_drainer_pool();
    TcpTransport t({ArraySpec{{}, 4}}, pool, 1, port);
    for (int round = 0; round < 3; ++round) {
        const auto started = t.start();
        ASSERT_TRUE(started.ok()) << "round " << round << ": " << started.error().message;
        ASSERT_EQ(t.port(), port);
        const int fd = connect_past_handshake(port);
        ASSERT_GE(fd, 0);
        t.shutdown();  // closes the connection from the server's side first
        std::uint8_t byte;
        EXPECT_LE(::recv(fd, &byte, 1, 0), 0);
        ::close(fd);
    }
    pool->shutdown();
}

// A child that the training process execs (a data tool, a compiler) must not
// inherit the server's sockets: it would keep the port bound and connections
// open after the server let them go.
TEST(TcpTransport, ListenerAndConnectionsAreCloseOnExec) {
    auto pool = one_drainer_pool();
    TcpTransport t({ArraySpec{{}, 4}}, pool, 1, 0);
    ASSERT_TRUE(t.start().ok());
    const std::uint16_t port = *t.port();
    const int fd = connect_past_handshake(port);
    ASSERT_GE(fd, 0);  // accepted by now

    int listeners = 0;
    int accepted = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const int candidate = std::atoi(e->d_name);
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (::getsockname(candidate, reinterpret_cast<sockaddr*>(&local), &len) != 0) continue;
        if (local.sin_family != AF_INET || ntohs(local.sin_port) != port) continue;
        int listening = 0;
        socklen_t optlen = sizeof listening;
        ASSERT_EQ(::getsockopt(candidate, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optlen), 0);
        const int flags = ::fcntl(candidate, F_GETFD);
        ASSERT_GE(flags, 0);
        EXPECT_TRUE(flags & FD_CLOEXEC) << (listening ? "listener" : "connection") << " fd " << candidate;
        if (listening) {
            ++listeners;
            EXPECT_TRUE(::fcntl(candidate, F_GETFL) & O_NONBLOCK);
        } else {
            ++accepted;
        }
    }
    ::closedir(dir);
    EXPECT_EQ(listeners, 1);
    EXPECT_EQ(accepted, 1);
    ::close(fd);
    t.shutdown();
    pool->shutdown();
}

// Copies of every socket descriptor of this process, as a child forked from
// it holds them; closed when the test is done with them.
std::vector<int> copy_socket_descriptors(int except) {
    std::vector<int> copies;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return copies;
    std::vector<int> fds;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') fds.push_back(std::atoi(e->d_name));
    }
    ::closedir(dir);
    for (int fd : fds) {
        char target[64] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (fd == except || ::readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
        if (std::string(target).rfind("socket:", 0) == 0) copies.push_back(::dup(fd));
    }
    return copies;
}

// A data-loader worker forked from the training process holds a copy of the
// listener and of every connection. Closing only our own descriptors then
// told no producer that the server had gone, let new connections wait in
// the backlog and kept the port bound.
TEST(TcpTransport, ShutdownEndsConnectionsAndFreesThePortWhileCopiesOfTheSocketsLive) {
    auto pool = one_drainer_pool();
    TcpTransport t({ArraySpec{{}, 4}}, pool, 1, 0);
    ASSERT_TRUE(t.start().ok());
    const std::uint16_t port = *t.port();
    const int fd = connect_past_handshake(port);
    ASSERT_GE(fd, 0);
    const std::vector<int> copies = copy_socket_descriptors(fd);
    ASSERT_GE(copies.size(), 2u);  // the listener and the server's end of `fd`

    t.shutdown();
    std::uint8_t byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // end of stream, not a time-out
    ::close(fd);
    EXPECT_LT(connect_to(port), 0);  // refused, not left in the backlog
    TcpTransport again({ArraySpec{{}, 4}}, pool, 1, port);
    EXPECT_TRUE(again.start().ok());
    again.shutdown();
    for (int c : copies) ::close(c);
    pool->shutdown();
}

// The server's end of the connection whose client end is `client`, found
// among this process's descriptors; -1 if none.
int server_end_of(int client) {
    sockaddr_in mine{}, theirs{};
    socklen_t len = sizeof mine;
    if (::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &len) != 0) return -1;
    len = sizeof theirs;
    if (::getpeername(client, reinterpret_cast<sockaddr*>(&theirs), &len) != 0) return -1;
    const std::vector<int> copies = copy_socket_descriptors(client);
    int found = -1;
    for (int fd : copies) {
        sockaddr_in local{}, peer{};
        socklen_t a = sizeof local, b = sizeof peer;
        if (found < 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &a) == 0 &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &b) == 0 && local.sin_port == theirs.sin_port &&
            peer.sin_port == mine.sin_port && peer.sin_addr.s_addr == mine.sin_addr.s_addr) {
            found = fd;
        } else {
            ::close(fd);
        }
    }
    return found;
}

// An address of this host that is not a loopback address, if it has one.
std::optional<in_addr> own_outside_address() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::optional<in_addr> out;
    for (ifaddrs* i = list; i != nullptr && !out; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const in_addr a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
        if ((ntohl(a.s_addr) >> 24) != 127) out = a;
    }
    ::freeifaddrs(list);
    return out;
}

// A producer on this host once had its bytes queued by the kernel's
// autotuned receive buffer, 4-19 MiB per connection, long enough for them to
// leave the caches before the server copied them out. A connection from this
// host (a loopback address, or one of the host's own addresses) gets a fixed
// 1 MiB buffer instead, which the kernel reports doubled. Where the system
// caps buffers below that, autotuning is kept: a capped request would show
// as twice the cap.
TEST(TcpTransport, ProducerOnThisHostGetsAFixedReceiveBufferAndNoDelay) {
    long rmem_max = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
    ASSERT_GT(rmem_max, 0);
    const bool fixed = rmem_max >= (1 << 20);

    auto pool = one_drainer_pool();
    TcpTransport t({ArraySpec{{}, 4}}, pool, 1, 0);
    ASSERT_TRUE(t.start().ok());
    std::vector<int> clients{connect_to(*t.port())};
    if (const auto own = own_outside_address()) clients.push_back(connect_to_address(*own, *t.port()));
    for (int fd : clients) {
        ASSERT_GE(fd, 0);
        std::uint8_t hs[17];  // the buffer is set before the handshake goes out
        ASSERT_TRUE(recv_exact(fd, hs, sizeof hs));
    }
    // Every connection is open and idle from here on: no descriptor of this
    // process is being closed while its copies are made.
    std::vector<int> servers;
    for (int fd : clients) servers.push_back(server_end_of(fd));
    for (int server : servers) {
        ASSERT_GE(server, 0);
        int size = 0;
        socklen_t len = sizeof size;
        ASSERT_EQ(::getsockopt(server, SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
        if (fixed) {
            EXPECT_EQ(size, 2 << 20);
        } else {
            EXPECT_NE(size, 2 * rmem_max);
        }
        // Each acknowledgement goes out at once, not after a delayed ACK.
        int nodelay = 0;
        len = sizeof nodelay;
        ASSERT_EQ(::getsockopt(server, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
        EXPECT_NE(nodelay, 0);
    }
    for (int fd : servers) ::close(fd);
    // The transport closes its ends first, in shutdown, which orders those
    // closes after the copies above; a producer's close would not.
    t.shutdown();
    for (int fd : clients) ::close(fd);
    pool->shutdown();
}

TEST(TcpTransport, AddressInUseLeavesItNotStarted) {
    auto pool = one_drainer_pool();
    TcpTransport a({ArraySpec{{}, 4}}, pool, 1, 0);
    ASSERT_TRUE(a.start().ok());
    TcpTransport b({ArraySpec{{}, 4}}, pool, 1, *a.port());
    const Status st = b.start();
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().message, "Address already in use");
    EXPECT_FALSE(b.port());
    a.shutdown();
    pool->shutdown();
}

// Connections accepted one after another go to the drainers in turn: each
// sample is inserted by the drainer its connection was given.
TEST(TcpTransport, ConnectionsAreServedByDrainersInTurn) {
    auto metrics = Metrics::create(2);
    auto sampler = FifoSampler::with_metrics(1, 8, metrics).value();
    std::shared_ptr<Store> store(
        Store::create({ArraySpec{{}, 4}}, 1, 8, std::move(sampler), std::make_unique<FifoRemover>()).value());
    auto pool = DrainerPool::create(store, 2, 2, metrics).value();
    TcpTransport t({ArraySpec{{}, 4}}, pool, 1, 0);
    ASSERT_TRUE(t.start().ok());

    // Sends one sample on a new connection and waits for its acknowledgement,
    // so that the next connection is accepted after this one.
    auto one_sample = [&](std::vector<int>& fds) {
        const int fd = connect_to(*t.port());
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        std::uint8_t hs[17];
        ASSERT_TRUE(recv_exact(fd, hs, sizeof hs));
        const std::uint8_t sample[4] = {1, 2, 3, 4};
        ASSERT_EQ(::send(fd, sample, sizeof sample, MSG_NOSIGNAL), 4);
        std::uint8_t ack = 0;
        ASSERT_TRUE(recv_exact(fd, &ack, 1));
        EXPECT_EQ(ack, 1);
    };
    auto inserted_by = [&](std::size_t d, std::uint64_t want) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (metrics->drainer(d).samples_inserted_total.load() < want &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return metrics->drainer(d).samples_inserted_total.load();
    };
    std::vector<int> fds;
    one_sample(fds);
    EXPECT_EQ(inserted_by(0, 1), 1u);
    one_sample(fds);
    EXPECT_EQ(inserted_by(1, 1), 1u);
    one_sample(fds);
    EXPECT_EQ(inserted_by(0, 2), 2u);
    EXPECT_EQ(metrics->drainer(1).samples_inserted_total.load(), 1u);
    for (int fd : fds) ::close(fd);
    t.shutdown();
    pool->shutdown();
}

// Free buffers are shared by every connection; one that has not received
// a byte must still hold none of them (idle connections cost no samples).
TEST(TcpTransport, ASilentConnectionTakesNoFreeBuffer) {
    auto pool = one_drainer_pool();
    TcpTransport t({ArraySpec{{}, 4}}, pool, 1, 0);
    ASSERT_TRUE(t.start().ok());
    // Another producer's buffer, given back: the one free buffer.
    SampleSender other = pool->new_sender();
    { TransportQueueItem given_back = other.make_item(SampleBuffer::zeroed(4)); }
    const SharedBuffers& free_buffers = pool->shared_buffers();
    ASSERT_EQ(free_buffers.size(), 1u);

    const int silent = connect_to(*t.port());
    ASSERT_GE(silent, 0);
    std::uint8_t hs[17];
    ASSERT_TRUE(recv_exact(silent, hs, sizeof hs));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // its task is past the handshake
    EXPECT_EQ(free_buffers.size(), 1u);
    // Its first bytes make it take the free buffer rather than a new one.
    const std::uint8_t sample[4] = {1, 2, 3, 4};
    ASSERT_EQ(::send(silent, sample, sizeof sample, MSG_NOSIGNAL), 4);
    std::uint8_t ack = 0;
    ASSERT_TRUE(recv_exact(silent, &ack, 1));
    EXPECT_EQ(ack, 1);
    ::close(silent);
    t.shutdown();
    pool->shutdown();
}

// Producers of 24 KiB samples (three leaves, one empty) write them in
// pieces of random length through a small ring that a slow consumer
// empties, so that samples reach it every way a connection has: read in
// place when whole in the socket, through a pooled buffer and stored
// directly, or queued for the drainer while the ring is full. Every sample
// arrives once, intact, in its producer's order.
TEST(TcpTransport, MidSizedSamplesArriveOnceInOrderByEveryPath) {
    const std::vector<ArraySpec> leaves{ArraySpec{{8192}, 2}, ArraySpec{{0}, 4}, ArraySpec{{1000}, 8}};
    constexpr std::size_t kSize = 16384 + 8000;
    constexpr unsigned kProducers = 4;
    const std::uint64_t per_producer = ravo::testing::scaled(1500, 200);
    auto metrics = Metrics::create(2);
    auto sampler = FifoSampler::with_metrics(8, 32, metrics).value();
    std::shared_ptr<Store> store(
        Store::create(leaves, 8, 4, std::move(sampler), std::make_unique<FifoRemover>()).value());
    auto pool = DrainerPool::create(store, 2, 4, metrics).value();
    TcpTransport t(leaves, pool, 2, 0);
    ASSERT_TRUE(t.start().ok());
    const std::uint16_t port = *t.port();

    // Sample `seq` of producer `id`: its first 16 bytes say whose, the rest
    // follows from them.
    auto fill = [](std::uint8_t* out, std::uint64_t id, std::uint64_t seq) {
        std::memcpy(out, &id, 8);
        std::memcpy(out + 8, &seq, 8);
        for (std::size_t i = 16; i < kSize; ++i) out[i] = static_cast<std::uint8_t>(id * 131 + seq * 17 + i * 7);
    };
    std::vector<std::thread> producers;
    std::atomic<unsigned> failures{0};
    for (unsigned id = 0; id < kProducers; ++id) {
        producers.emplace_back([&, id] {
            const int fd = connect_to(port);
            std::uint8_t hs[45];
            if (fd < 0 || !recv_exact(fd, hs, sizeof hs)) {
                ++failures;
                return;
            }
            std::mt19937_64 rng(id);
            std::vector<std::uint8_t> stream(kSize * 8);
            std::uint64_t acked = 0;
            for (std::uint64_t seq = 0; seq < per_producer;) {
                // Up to 8 samples, written in pieces of random length.
                const std::uint64_t n = std::min<std::uint64_t>(1 + rng() % 8, per_producer - seq);
                for (std::uint64_t k = 0; k < n; ++k) fill(stream.data() + k * kSize, id, seq + k);
                std::size_t at = 0;
                while (at < n * kSize) {
                    const std::size_t piece = std::min<std::size_t>(n * kSize - at, 1 + rng() % (3 * kSize));
                    if (::send(fd, stream.data() + at, piece, MSG_NOSIGNAL) != static_cast<ssize_t>(piece)) {
                        ++failures;
                        ::close(fd);
                        return;
                    }
                    at += piece;
                }
                seq += n;
                // A window of 16 unacknowledged samples.
                while (seq - acked > 16 || (seq == per_producer && acked < seq)) {
                    std::uint8_t acks[64];
                    const ssize_t r = ::recv(fd, acks, std::min<std::uint64_t>(sizeof acks, seq - acked), 0);
                    if (r <= 0) {
                        ++failures;
                        ::close(fd);
                        return;
                    }
                    acked += static_cast<std::uint64_t>(r);
                }
            }
            ::close(fd);
        });
    }

    std::vector<std::uint64_t> next(kProducers, 0);
    std::vector<std::uint8_t> expect(kSize), got(kSize);
    std::uint64_t seen = 0, batches = 0;
    const std::uint64_t total = per_producer * kProducers;
    while (seen < total) {
        ConsumerView v;
        const SelectWait w = store->select_for(std::chrono::seconds(30), v);
        ASSERT_EQ(w, SelectWait::Selected) << "after " << seen << " samples";
        if (++batches % 32 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a slow consumer
        for (std::uint64_t k = 0; k < v.len; ++k) {
            std::memcpy(got.data(), v.spans[0].data + k * 16384, 16384);
            std::memcpy(got.data() + 16384, v.spans[2].data + k * 8000, 8000);
            std::uint64_t id = 0, seq = 0;
            std::memcpy(&id, got.data(), 8);
            std::memcpy(&seq, got.data() + 8, 8);
            ASSERT_LT(id, kProducers);
            ASSERT_EQ(seq, next[id]) << "producer " << id;
            fill(expect.data(), id, seq);
            ASSERT_EQ(got, expect) << "producer " << id << " sample " << seq;
            ++next[id];
        }
        seen += v.len;
        store->give_back();
    }
    for (auto& p : producers) p.join();
    EXPECT_EQ(failures.load(), 0u);
    for (unsigned id = 0; id < kProducers; ++id) EXPECT_EQ(next[id], per_producer);
    EXPECT_EQ(metrics->drainer(0).samples_inserted_total.load() + metrics->drainer(1).samples_inserted_total.load(),
              total);
    t.shutdown();
    pool->shutdown();
}

}  // namespace
}  // namespace ravo::transport::tcp
