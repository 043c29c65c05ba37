// Descriptor readiness: try-then-wait without lost edges, end of stream and
// hang-up, registration errors, and deregistration under traffic.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/io_handle.h"
#include "runtime/oneshot.h"
#include "runtime/runtime.h"
#include "runtime/task.h"
#include "test_util.h"

namespace ravo::runtime {
namespace {

using namespace std::chrono_literals;

using ravo::testing::kScale;

using ravo::testing::eventually;

using ravo::testing::make_runtime;

IoHandle adopt(Runtime& rt, int fd) {
    auto handle = IoHandle::adopt(rt, fd);
    EXPECT_TRUE(handle.ok());
    return std::move(handle).value();
}

std::uint8_t pattern(std::uint64_t i) { return static_cast<std::uint8_t>((i * 131) ^ (i >> 8)); }

// Reads `total` bytes in small pieces, waiting only when a read would block;
// checks the byte pattern.
Task<void> read_all(IoHandle io, std::uint64_t total, std::size_t piece, std::atomic<std::uint64_t>* got,
                    std::atomic<std::uint64_t>* mismatches) {
    std::vector<std::uint8_t> buffer(piece);
    std::uint64_t offset = 0;
    while (offset < total) {
        IoResult r = io.try_read(buffer.data(), buffer.size());
        if (r.would_block()) {
            co_await io.readable();
            continue;
        }
        if (!r.ok() || r.bytes == 0) break;
        for (std::size_t i = 0; i < r.bytes; ++i) {
            if (buffer[i] != pattern(offset + i)) mismatches->fetch_add(1);
        }
        offset += r.bytes;
        got->store(offset);
    }
}

// Writes `total` bytes in large pieces, filling the pipe until it would
// block, then waiting for writability.
Task<void> write_all(IoHandle io, std::uint64_t total, std::size_t piece, std::atomic<bool>* done) {
    std::vector<std::uint8_t> buffer(piece);
    std::uint64_t offset = 0;
    while (offset < total) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, total - offset));
        for (std::size_t i = 0; i < n; ++i) buffer[i] = pattern(offset + i);
        std::size_t sent = 0;
        while (sent < n) {
            IoResult r = io.try_write(buffer.data() + sent, n - sent);
            if (r.would_block()) {
                co_await io.writable();
                continue;
            }
            if (!r.ok()) {
                ADD_FAILURE() << "write failed: " << os_error_text(r.error);
                co_return;
            }
            sent += r.bytes;
        }
        offset += n;
    }
    done->store(true);
}

TEST(RuntimeIo, PipeFullOfTrafficLosesNoEdgeBetweenTaskWriterAndTaskReader) {
    const std::uint64_t total = (16u << 20) / kScale;
    auto rt = make_runtime(2);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    std::atomic<std::uint64_t> got{0};
    std::atomic<std::uint64_t> mismatches{0};
    std::atomic<bool> written{false};
    // The reader takes odd-sized small pieces, the writer large ones, so
    // both sides keep hitting would-block and waiting.
    rt->spawn(read_all(adopt(*rt, fds[0]), total, 777, &got, &mismatches));
    rt->spawn(write_all(adopt(*rt, fds[1]), total, 100000, &written));
    EXPECT_TRUE(eventually([&] { return got.load() == total; })) << "got " << got.load();
    EXPECT_TRUE(written.load());
    EXPECT_EQ(mismatches.load(), 0u);
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

// One byte each way per round: every round needs a fresh readiness edge on
// each side.
TEST(RuntimeIo, SocketPairPingPongManyRounds) {
    const int rounds = 20000 / kScale;
    auto rt = make_runtime(2);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    std::atomic<int> pinged{0};
    std::atomic<int> ponged{0};

    auto side = [](IoHandle io, int rounds, bool starts, std::atomic<int>* count) -> Task<void> {
        std::uint8_t byte = 0;
        for (int i = 0; i < rounds; ++i) {
            if (starts) {
                for (;;) {
                    IoResult w = io.try_write(&byte, 1);
                    if (!w.would_block()) break;
                    co_await io.writable();
                }
            }
            for (;;) {
                IoResult r = io.try_read(&byte, 1);
                if (r.ok() && r.bytes == 1) break;
                if (!r.would_block()) co_return;
                co_await io.readable();
            }
            if (!starts) {
                for (;;) {
                    IoResult w = io.try_write(&byte, 1);
                    if (!w.would_block()) break;
                    co_await io.writable();
                }
            }
            count->fetch_add(1);
        }
    };
    rt->spawn(side(adopt(*rt, fds[0]), rounds, true, &pinged));
    rt->spawn(side(adopt(*rt, fds[1]), rounds, false, &ponged));
    EXPECT_TRUE(eventually([&] { return pinged.load() == rounds && ponged.load() == rounds; }))
        << pinged.load() << " / " << ponged.load();
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

TEST(RuntimeIo, PeerCloseWakesBothReaderAndBlockedWriter) {
    auto rt = make_runtime(2);
    int a[2];
    int b[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, a), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, b), 0);
    std::atomic<int> read_outcome{-1};   // bytes of the final read (0 = end of stream)
    std::atomic<int> write_error{-1};
    std::atomic<bool> writer_blocked{false};

    rt->spawn([](IoHandle io, std::atomic<int>* outcome) -> Task<void> {
        char c;
        for (;;) {
            IoResult r = io.try_read(&c, 1);
            if (!r.would_block()) {
                outcome->store(r.ok() ? static_cast<int>(r.bytes) : -2);
                co_return;
            }
            co_await io.readable();
        }
    }(adopt(*rt, a[0]), &read_outcome));

    rt->spawn([](IoHandle io, std::atomic<int>* error, std::atomic<bool>* blocked) -> Task<void> {
        std::vector<char> chunk(65536, 'x');
        for (;;) {
            IoResult r = io.try_write(chunk.data(), chunk.size());
            if (r.would_block()) {
                blocked->store(true);
                co_await io.writable();
                continue;
            }
            if (!r.ok()) {
                error->store(r.error);
                co_return;
            }
        }
    }(adopt(*rt, b[0]), &write_error, &writer_blocked));

    ASSERT_TRUE(eventually([&] { return writer_blocked.load(); }));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(::close(a[1]), 0);
    EXPECT_EQ(::close(b[1]), 0);
    EXPECT_TRUE(eventually([&] { return read_outcome.load() != -1 && write_error.load() != -1; }));
    EXPECT_EQ(read_outcome.load(), 0);
    EXPECT_TRUE(write_error.load() == EPIPE || write_error.load() == ECONNRESET) << write_error.load();
}

TEST(RuntimeIo, AdoptFailuresCarryTheSystemTextAndCloseTheDescriptor) {
    auto rt = make_runtime(1);
    auto bad = IoHandle::adopt(*rt, -1);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "Bad file descriptor");

    // epoll refuses regular files.
    const int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto refused = IoHandle::adopt(*rt, fd);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "Operation not permitted");
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // adopt took ownership and closed it
    EXPECT_EQ(errno, EBADF);
}

TEST(RuntimeIo, CloseIsExplicitAndMovesTransferOwnership) {
    auto rt = make_runtime(1);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    IoHandle first = adopt(*rt, fds[0]);
    EXPECT_TRUE(first.valid());
    EXPECT_EQ(first.fd(), fds[0]);
    IoHandle second = std::move(first);
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.fd(), fds[0]);
    EXPECT_TRUE(second.close().ok());
    EXPECT_FALSE(second.valid());
    EXPECT_TRUE(second.close().ok());  // closing twice is a no-op
    const char c = 0;
    EXPECT_EQ(::send(fds[1], &c, 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(::close(fds[1]), 0);
}

// Handles come and go while their peers keep writing, so events for a
// descriptor are in flight while it is deregistered and its slot reused.
TEST(RuntimeIo, ShortLivedHandlesUnderTrafficAreSafe) {
    const int tasks = 8;
    const int per_task = 300 / kScale;
    auto rt = make_runtime(3);
    std::atomic<int> finished{0};
    std::atomic<int> failures{0};
    for (int t = 0; t < tasks; ++t) {
        rt->spawn([](int count, std::atomic<int>* finished, std::atomic<int>* failures) -> Task<void> {
            for (int i = 0; i < count; ++i) {
                int fds[2];
                if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
                    failures->fetch_add(1);
                    break;
                }
                auto a = IoHandle::adopt(*Runtime::current(), fds[0]);
                auto b = IoHandle::adopt(*Runtime::current(), fds[1]);
                if (!a.ok() || !b.ok()) {
                    failures->fetch_add(1);
                    break;
                }
                IoHandle& x = a.value();
                IoHandle& y = b.value();
                const char out[3] = {'a', 'b', 'c'};
                for (const char& c : out) {
                    if (x.try_write(&c, 1).bytes != 1) failures->fetch_add(1);
                }
                char in[3];
                std::size_t got = 0;
                while (got < 3) {
                    IoResult r = y.try_read(in + got, 3 - got);
                    if (r.would_block()) {
                        co_await y.readable();
                        continue;
                    }
                    if (!r.ok() || r.bytes == 0) break;
                    got += r.bytes;
                }
                if (got != 3) failures->fetch_add(1);
                // Leave unread data and pending edges behind on purpose.
                (void)x.try_write(out, 3);
                (void)y.try_write(out, 3);
            }
            finished->fetch_add(1);
        }(per_task, &finished, &failures));
    }
    EXPECT_TRUE(eventually([&] { return finished.load() == tasks; }));
    EXPECT_EQ(failures.load(), 0);
}

// --- readiness or signal ----------------------------------------------------

// The accept-loop shape: wait for the socket or the stop signal.
Task<void> serve_until_signalled(IoHandle io, OneshotReceiver stop, std::atomic<int>* received,
                                 std::atomic<int>* outcome) {
    char c;
    for (;;) {
        IoResult r = io.try_read(&c, 1);
        if (r.ok() && r.bytes == 1) {
            received->fetch_add(1);
            continue;
        }
        if (!r.would_block()) {
            outcome->store(3);  // end of stream or error
            co_return;
        }
        if (co_await io.readable_or(stop) == WaitResult::Signalled) {
            outcome->store(2);
            co_return;
        }
    }
}

TEST(RuntimeIo, ReadableOrSignalServesDataUntilTheSignalFires) {
    auto rt = make_runtime(2);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    auto [stop_tx, stop_rx] = make_oneshot();
    std::atomic<int> received{0};
    std::atomic<int> outcome{0};
    rt->spawn(serve_until_signalled(adopt(*rt, fds[0]), std::move(stop_rx), &received, &outcome));
    for (int i = 1; i <= 50; ++i) {
        const char c = 'x';
        ASSERT_EQ(::send(fds[1], &c, 1, MSG_NOSIGNAL), 1);
        ASSERT_TRUE(eventually([&] { return received.load() == i; }));
    }
    EXPECT_EQ(outcome.load(), 0);
    stop_tx.send();
    EXPECT_TRUE(eventually([&] { return outcome.load() == 2; }));
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
    // The task is gone and so is its registration: more traffic is harmless.
    const char c = 'y';
    EXPECT_EQ(::send(fds[1], &c, 1, MSG_NOSIGNAL), -1);  // its end was closed with it
    EXPECT_EQ(::close(fds[1]), 0);
}

TEST(RuntimeIo, SignalFiredBeforeTheWaitOrByDroppingTheSenderEndsIt) {
    auto rt = make_runtime(1);
    for (int variant = 0; variant < 2; ++variant) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        auto pair = make_oneshot();
        if (variant == 0) pair.first.send();
        std::atomic<int> received{0};
        std::atomic<int> outcome{0};
        rt->spawn(serve_until_signalled(adopt(*rt, fds[0]), std::move(pair.second), &received, &outcome));
        if (variant == 1) {
            std::this_thread::sleep_for(5ms);
            OneshotSender dropped = std::move(pair.first);
        }
        EXPECT_TRUE(eventually([&] { return outcome.load() == 2; }));
        EXPECT_EQ(::close(fds[1]), 0);
    }
}

// Data and the signal race; whichever wins, the task resumes once and its
// registrations are gone afterwards (sanitizers check the rest).
TEST(RuntimeIo, ReadinessAndSignalRacingResumeOnce) {
    const int iterations = 300 / kScale;
    auto rt = make_runtime(2);
    for (int iter = 0; iter < iterations; ++iter) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        auto [stop_tx, stop_rx] = make_oneshot();
        std::atomic<int> received{0};
        std::atomic<int> outcome{0};
        rt->spawn(serve_until_signalled(adopt(*rt, fds[0]), std::move(stop_rx), &received, &outcome));
        std::thread writer([fd = fds[1]] {
            const char bytes[4] = {'a', 'b', 'c', 'd'};
            for (const char& c : bytes) (void)::send(fd, &c, 1, MSG_NOSIGNAL);
        });
        stop_tx.send();
        writer.join();
        ASSERT_TRUE(eventually([&] { return outcome.load() != 0; }));
        EXPECT_EQ(outcome.load(), 2);
        EXPECT_LE(received.load(), 4);
        EXPECT_EQ(::close(fds[1]), 0);
    }
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

}  // namespace
}  // namespace ravo::runtime
