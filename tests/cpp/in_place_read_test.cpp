// Reading whole samples from a TCP socket straight into their ring slots.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ingress/drainer_pool.h"
#include "test_util.h"
#include "transport/tcp/in_place_read.h"

namespace ravo::transport::tcp {
namespace {

using ravo::testing::eventually;

// A connected loopback TCP pair: `producer` writes, `server` (non-blocking)
// is read in place.
struct Pair {
    int producer = -1;
    int server = -1;
    Pair() {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
        EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        producer = ::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(producer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        server = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        EXPECT_GE(server, 0);
        ::close(listener);
    }
    ~Pair() {
        ::close(producer);
        ::close(server);
    }
    void send(const std::vector<std::uint8_t>& bytes, int flags = 0) const {
        ASSERT_EQ(::send(producer, bytes.data(), bytes.size(), flags | MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Bytes the server side can read now.
    int queued() const {
        int n = -1;
        EXPECT_EQ(::ioctl(server, FIONREAD, &n), 0);
        return n;
    }
};

// Three leaves, the middle one empty: 16 KiB + 0 + 8000 bytes per sample.
const std::vector<ArraySpec> kLeaves{ArraySpec{{8192}, 2}, ArraySpec{{0}, 4}, ArraySpec{{1000}, 8}};
constexpr std::size_t kSample = 16384 + 8000;

// Sample `k`'s bytes: every byte says which sample and where.
std::vector<std::uint8_t> sample_bytes(std::uint64_t k) {
    std::vector<std::uint8_t> b(kSample);
    for (std::size_t i = 0; i < kSample; ++i) b[i] = static_cast<std::uint8_t>(k * 31 + i * 7 + i / 251);
    return b;
}

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The sample at position `k` of a handed-out batch, leaves back to back.
std::vector<std::uint8_t> sample_in(const ConsumerView& v, std::uint64_t k) {
    std::vector<std::uint8_t> out;
    const std::size_t sizes[3] = {16384, 0, 8000};
    for (std::size_t j = 0; j < 3; ++j) {
        out.insert(out.end(), v.spans[j].data + k * sizes[j], v.spans[j].data + (k + 1) * sizes[j]);
    }
    return out;
}

struct Server {
    std::shared_ptr<Metrics> metrics = Metrics::create(1);
    std::shared_ptr<Store> store;
    std::shared_ptr<DrainerPool> pool;
    explicit Server(std::uint64_t batch, std::uint64_t batches) {
        auto sampler = FifoSampler::with_metrics(batch, batch * batches, metrics).value();
        store = std::shared_ptr<Store>(
            Store::create(kLeaves, batch, batches, std::move(sampler), std::make_unique<FifoRemover>()).value());
        pool = DrainerPool::create(store, 1, 4, metrics).value();
    }
    ~Server() { pool->shutdown(); }
};

// Only whole samples are read, into their slots leaf by leaf; a partial one
// stays in the socket for the caller, and a layout's empty leaf is skipped.
TEST(InPlaceRead, ReadsOnlyTheWholeSamplesIntoTheirSlots) {
    Server srv(2, 2);
    SampleSender sender = srv.pool->new_sender();
    ASSERT_TRUE(reads_in_place(sender, kSample));
    Pair p;
    const auto s0 = sample_bytes(0), s1 = sample_bytes(1), s2 = sample_bytes(2);
    p.send(concat({s0, s1, std::vector<std::uint8_t>(s2.begin(), s2.begin() + 100)}));
    ASSERT_TRUE(eventually([&] { return p.queued() == static_cast<int>(2 * kSample + 100); }));

    const InPlaceRead read = read_in_place(p.server, sender, kSample);
    EXPECT_EQ(read.samples, 2u);
    EXPECT_EQ(read.err, 0);
    EXPECT_FALSE(read.fell_short);
    EXPECT_EQ(p.queued(), 100);  // the partial sample is left alone
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 0u);
    EXPECT_EQ(srv.metrics->drainer(0).samples_inserted_total.load(), 2u);

    auto v = srv.store->sample();
    ASSERT_TRUE(v);
    EXPECT_EQ(sample_in(*v, 0), s0);
    EXPECT_EQ(sample_in(*v, 1), s1);
}

// A run never crosses a batch boundary nor the free room; with the ring
// full, the bytes wait in the socket.
TEST(InPlaceRead, StopsAtBatchBoundariesAndAtAFullRing) {
    Server srv(2, 2);  // four slots
    SampleSender sender = srv.pool->new_sender();
    Pair p;
    std::vector<std::uint8_t> five;
    for (std::uint64_t k = 0; k < 5; ++k) {
        const auto s = sample_bytes(k);
        five.insert(five.end(), s.begin(), s.end());
    }
    p.send(five);
    ASSERT_TRUE(eventually([&] { return p.queued() == static_cast<int>(5 * kSample); }));
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 2u);  // up to the batch boundary
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 2u);
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 0u);  // full
    EXPECT_EQ(p.queued(), static_cast<int>(kSample));

    auto b0 = srv.store->sample();
    auto b1 = srv.store->sample();  // gives batch 0 back
    ASSERT_TRUE(b0 && b1);
    EXPECT_EQ(sample_in(*b1, 0), sample_bytes(2));
    EXPECT_EQ(sample_in(*b1, 1), sample_bytes(3));
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 1u);
    EXPECT_EQ(p.queued(), 0);
    EXPECT_EQ(srv.metrics->drainer(0).samples_inserted_total.load(), 5u);
}

// While a sample of the sender waits in its queue, nothing is read in place
// although the ring has room: the sender's order comes first.
TEST(InPlaceRead, WaitsWhileTheSenderHasASampleQueued) {
    auto metrics = Metrics::create(1);
    auto sampler = FifoSampler::with_metrics(2, 4, metrics).value();
    std::shared_ptr<Store> store(
        Store::create(kLeaves, 2, 2, std::move(sampler), std::make_unique<FifoRemover>()).value());
    auto queue = std::make_shared<ProducerQueue>(4);  // no drainer: the test drains it
    SampleSender sender(queue, std::make_shared<runtime::Notifier>(), std::make_shared<runtime::Notifier>(), metrics,
                        std::make_shared<BufferPool>(9), std::make_shared<std::atomic<bool>>(false),
                        DirectStore{store, std::make_shared<const std::vector<std::size_t>>(
                                               std::vector<std::size_t>{16384, 0, 8000}),
                                    &metrics->drainer(0), std::make_shared<std::atomic<bool>>(false)});
    SampleBuffer first = SampleBuffer::zeroed(kSample);
    const auto s0 = sample_bytes(0);
    std::memcpy(first.data(), s0.data(), kSample);
    TransportQueueItem item = sender.make_item(std::move(first));
    ASSERT_TRUE(sender.try_push(item));

    Pair p;
    p.send(sample_bytes(1));
    ASSERT_TRUE(eventually([&] { return p.queued() == static_cast<int>(kSample); }));
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 0u);
    EXPECT_EQ(p.queued(), static_cast<int>(kSample));
    {
        // The drainer's part: store the queued sample, then let it go.
        auto taken = queue->try_pop();
        ASSERT_TRUE(taken);
        const ByteSpan leaves[3] = {{taken->buffer().data(), 16384}, {nullptr, 0},
                                    {taken->buffer().data() + 16384, 8000}};
        ASSERT_EQ(store->try_insert(leaves), InsertOutcome::Inserted);
    }
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 1u);
    auto v = store->sample();
    ASSERT_TRUE(v);
    EXPECT_EQ(sample_in(*v, 0), s0);
    EXPECT_EQ(sample_in(*v, 1), sample_bytes(1));
}

// An urgent byte inside the stream is not part of it: the reported bytes
// end at its mark, so the read stops there, and what follows is read by the
// caller's ordinary read, which skips the urgent byte.
TEST(InPlaceRead, StopsAtAnUrgentMark) {
    Server srv(2, 2);
    SampleSender sender = srv.pool->new_sender();
    Pair p;
    p.send(sample_bytes(0));
    p.send({0xEE}, MSG_OOB);
    p.send(sample_bytes(1));
    ASSERT_TRUE(eventually([&] { return p.queued() >= static_cast<int>(kSample); }));
    // The kernel may report the bytes up to the mark only once the rest arrived.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const InPlaceRead read = read_in_place(p.server, sender, kSample);
    EXPECT_EQ(read.samples, 1u);
    EXPECT_FALSE(read.fell_short);
    EXPECT_EQ(read_in_place(p.server, sender, kSample).samples, 0u);  // at the mark
    std::vector<std::uint8_t> rest(kSample);
    std::size_t got = 0;
    ASSERT_TRUE(eventually([&] {
        const ssize_t r = ::recv(p.server, rest.data() + got, kSample - got, 0);
        if (r > 0) got += static_cast<std::size_t>(r);
        return got == kSample;
    }));
    EXPECT_EQ(rest, sample_bytes(1));
}

}  // namespace
}  // namespace ravo::transport::tcp
