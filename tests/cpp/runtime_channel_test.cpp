// Unbounded channel (empty vs closed, receiver drop) and one-shot signal
// (fires on send and on sender drop, from tasks and across threads).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/channel.h"
#include "runtime/oneshot.h"
#include "runtime/runtime.h"
#include "runtime/task.h"
#include "test_util.h"

namespace ravo::runtime {
namespace {

using namespace std::chrono_literals;

using ravo::testing::eventually;

using ravo::testing::make_runtime;

// Counts live instances (move-only, like a registration handle).
struct Counted {
    explicit Counted(std::atomic<int>* live, int v = 0) : live_(live), value(v) { live_->fetch_add(1); }
    Counted(Counted&& other) noexcept : live_(other.live_), value(other.value) { live_->fetch_add(1); }
    Counted& operator=(Counted&&) = delete;
    ~Counted() { live_->fetch_sub(1); }
    std::atomic<int>* live_;
    int value;
};

using Status = Received<int>::Status;

// --- channel ----------------------------------------------------------------

TEST(RuntimeChannel, EmptyWhileASenderLivesClosedOnceAllAreGone) {
    auto [tx, rx] = make_channel<int>();
    EXPECT_EQ(rx.try_recv().status, Status::Empty);
    EXPECT_TRUE(tx.send(1));
    {
        ChannelSender<int> copy = tx;  // every copy counts
        EXPECT_TRUE(copy.send(2));
    }
    {
        ChannelSender<int> moved = std::move(tx);
        EXPECT_TRUE(moved.send(3));
        Received<int> first = rx.try_recv();
        ASSERT_EQ(first.status, Status::Value);
        EXPECT_EQ(*first.value, 1);
    }
    // All senders gone, but values remain: they come out first.
    Received<int> second = rx.try_recv();
    ASSERT_EQ(second.status, Status::Value);
    EXPECT_EQ(*second.value, 2);
    EXPECT_EQ(*rx.try_recv().value, 3);
    Received<int> end = rx.try_recv();
    EXPECT_EQ(end.status, Status::Closed);
    EXPECT_FALSE(end.value.has_value());
}

TEST(RuntimeChannel, DroppedReceiverRefusesSendsAndDestroysWhatWasLeft) {
    std::atomic<int> live{0};
    auto [tx, rx] = make_channel<Counted>();
    EXPECT_TRUE(tx.send(Counted(&live, 1)));
    EXPECT_TRUE(tx.send(Counted(&live, 2)));
    EXPECT_EQ(live.load(), 2);
    {
        ChannelReceiver<Counted> gone = std::move(rx);
    }
    EXPECT_EQ(live.load(), 0);
    EXPECT_FALSE(tx.send(Counted(&live, 3)));
    EXPECT_EQ(live.load(), 0);  // the refused value was destroyed too
}

TEST(RuntimeChannel, ExplicitCloseActsLikeDroppingTheReceiver) {
    std::atomic<int> live{0};
    auto [tx, rx] = make_channel<Counted>();
    EXPECT_TRUE(tx.send(Counted(&live)));
    rx.close();
    EXPECT_EQ(live.load(), 0);
    EXPECT_FALSE(tx.send(Counted(&live)));
    EXPECT_EQ(rx.try_recv().status, Received<Counted>::Status::Closed);
}

// --- one-shot ---------------------------------------------------------------

TEST(RuntimeOneshot, FiresOnSendAndOnlyOnce) {
    auto rt = make_runtime(1);
    auto [tx, rx] = make_oneshot();
    EXPECT_FALSE(rx.fired());
    std::atomic<int> outcome{-1};
    rt->spawn([](OneshotReceiver rx, std::atomic<int>* outcome) -> Task<void> {
        const bool sent = co_await rx;
        outcome->store(sent ? 1 : 0);
        // Waiting again after the signal completes at once.
        EXPECT_TRUE(co_await rx);
    }(std::move(rx), &outcome));
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(outcome.load(), -1);
    tx.send();
    tx.send();  // no effect
    EXPECT_TRUE(eventually([&] { return outcome.load() == 1; }));
    EXPECT_TRUE(eventually([&] { return rt->live_tasks() == 0; }));
}

TEST(RuntimeOneshot, FiresWhenTheSenderIsDroppedUnsent) {
    auto rt = make_runtime(1);
    auto pair = make_oneshot();
    std::atomic<int> outcome{-1};
    rt->spawn([](OneshotReceiver rx, std::atomic<int>* outcome) -> Task<void> {
        outcome->store((co_await rx) ? 1 : 0);
    }(std::move(pair.second), &outcome));
    std::thread dropper([tx = std::move(pair.first)]() mutable { OneshotSender gone = std::move(tx); });
    dropper.join();
    EXPECT_TRUE(eventually([&] { return outcome.load() == 0; }));
}

TEST(RuntimeOneshot, FiredQueryWithoutWaiting) {
    {
        auto [tx, rx] = make_oneshot();
        EXPECT_FALSE(rx.fired());
        tx.send();
        EXPECT_TRUE(rx.fired());
    }
    {
        auto [tx, rx] = make_oneshot();
        { OneshotSender gone = std::move(tx); }
        EXPECT_TRUE(rx.fired());
    }
}

// The signal fires from another thread while the waiting task's runtime is
// being destroyed: never resumed after teardown, destroyed once.
TEST(RuntimeOneshot, FiringRacingWithTeardownIsSafe) {
    for (int iter = 0; iter < 50; ++iter) {
        auto rt = make_runtime(2);
        std::atomic<int> live{0};
        std::vector<OneshotSender> senders;
        for (int i = 0; i < 8; ++i) {
            auto [tx, rx] = make_oneshot();
            senders.push_back(std::move(tx));
            rt->spawn([](OneshotReceiver rx, Counted guard) -> Task<void> {
                (void)co_await rx;
                (void)guard;
            }(std::move(rx), Counted(&live)));
        }
        std::thread firer([&] {
            for (OneshotSender& s : senders) s.send();
        });
        std::this_thread::sleep_for(std::chrono::microseconds(iter * 20));
        rt.reset();
        firer.join();
        EXPECT_EQ(live.load(), 0);
    }
}

}  // namespace
}  // namespace ravo::runtime
