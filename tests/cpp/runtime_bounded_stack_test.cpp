// Bounded lock-free LIFO stack (buffer pools): order, full/empty boundaries,
// conservation under concurrent pushers and poppers (the ABA case), and
// destruction of leftovers. Also the streaming copy into batch memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "runtime/bounded_stack.h"
#include "runtime/stream_copy.h"
#include "test_util.h"

namespace ravo::runtime {
namespace {

using ravo::testing::kScale;

TEST(RuntimeBoundedStack, LastInFirstOutWithExactCapacity) {
    for (std::size_t cap : {std::size_t{1}, std::size_t{3}, std::size_t{129}}) {
        BoundedStack<int> s(cap);
        EXPECT_EQ(s.capacity(), cap);
        EXPECT_FALSE(s.try_pop().has_value());
        for (int lap = 0; lap < 20; ++lap) {
            for (std::size_t i = 0; i < cap; ++i) ASSERT_FALSE(s.try_push(static_cast<int>(i)).has_value());
            std::optional<int> refused = s.try_push(-7);
            ASSERT_TRUE(refused.has_value());
            EXPECT_EQ(*refused, -7);
            // Pop half, push back in a new order, then drain: always the
            // most recent first.
            const std::size_t half = cap / 2;
            for (std::size_t i = 0; i < half; ++i) ASSERT_EQ(*s.try_pop(), static_cast<int>(cap - 1 - i));
            for (std::size_t i = 0; i < half; ++i) ASSERT_FALSE(s.try_push(1000 + static_cast<int>(i)).has_value());
            for (std::size_t i = half; i-- > 0;) ASSERT_EQ(*s.try_pop(), 1000 + static_cast<int>(i));
            for (std::size_t i = cap - half; i-- > 0;) ASSERT_EQ(*s.try_pop(), static_cast<int>(i));
            EXPECT_FALSE(s.try_pop().has_value());
        }
    }
}

TEST(RuntimeBoundedStack, DestructionDestroysRemainingItemsOnly) {
    auto a = std::make_shared<int>(1);
    auto b = std::make_shared<int>(2);
    {
        BoundedStack<std::shared_ptr<int>> s(4);
        ASSERT_FALSE(s.try_push(a).has_value());
        ASSERT_FALSE(s.try_push(b).has_value());
        EXPECT_EQ(a.use_count(), 2);
        std::optional<std::shared_ptr<int>> top = s.try_pop();
        ASSERT_TRUE(top.has_value());
        EXPECT_EQ(*top, b);
        top.reset();
        EXPECT_EQ(b.use_count(), 1);  // popped and gone: not destroyed twice below
    }
    EXPECT_EQ(a.use_count(), 1);
    EXPECT_EQ(b.use_count(), 1);
}

// Pushers and poppers at once on a small stack, so that nodes are taken and
// linked back between another thread's read of the head and its CAS (the
// ABA case the tags exist for). Every value goes in exactly once and must
// come out exactly once: count and sum are conserved.
TEST(RuntimeBoundedStack, ConcurrentPushPopConservesItems) {
    constexpr int kPushers = 3;
    constexpr int kPoppers = 3;
    const int per_pusher = 60000 / kScale;
    BoundedStack<std::uint64_t> s(4);
    std::atomic<int> pushers_done{0};
    std::atomic<std::uint64_t> popped_count{0};
    std::atomic<std::uint64_t> popped_sum{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < kPushers; ++p) {
        threads.emplace_back([&, p] {
            // Disjoint ranges: pusher p owns [p * per_pusher + 1, (p + 1) * per_pusher].
            for (int i = 1; i <= per_pusher; ++i) {
                std::uint64_t v = static_cast<std::uint64_t>(p) * per_pusher + i;
                while (auto back = s.try_push(v)) {
                    v = *back;
                    std::this_thread::yield();
                }
            }
            pushers_done.fetch_add(1);
        });
    }
    for (int c = 0; c < kPoppers; ++c) {
        threads.emplace_back([&] {
            std::uint64_t count = 0, sum = 0;
            for (;;) {
                if (auto v = s.try_pop()) {
                    ++count;
                    sum += *v;
                    continue;
                }
                if (pushers_done.load() == kPushers) {
                    // Everything pushed is in the stack or taken: one last sweep.
                    while (auto v = s.try_pop()) {
                        ++count;
                        sum += *v;
                    }
                    break;
                }
                std::this_thread::yield();
            }
            popped_count.fetch_add(count);
            popped_sum.fetch_add(sum);
        });
    }
    for (auto& t : threads) t.join();
    const std::uint64_t n = static_cast<std::uint64_t>(kPushers) * per_pusher;
    EXPECT_EQ(popped_count.load(), n);
    EXPECT_EQ(popped_sum.load(), n * (n + 1) / 2);
    EXPECT_FALSE(s.try_pop().has_value());
}

// The streaming copy changes only how bytes reach memory: every size and
// destination alignment around the threshold and the 64-byte lines must
// give memcpy's result, and not a byte outside the destination may change.
TEST(RuntimeStreamCopy, SameBytesAsMemcpyAtEveryAlignmentAndTail) {
    const std::size_t sizes[] = {0, 1, 63, 64, 65, kStreamThreshold - 1, kStreamThreshold, kStreamThreshold + 1,
                                 kStreamThreshold + 63, 3 * kStreamThreshold + 17};
    std::vector<std::uint8_t> src(3 * kStreamThreshold + 17 + 64);
    std::iota(src.begin(), src.end(), std::uint8_t{7});
    for (std::size_t n : sizes) {
        for (std::size_t dst_off : {0, 1, 17, 63}) {
            for (std::size_t src_off : {0, 5}) {
                std::vector<std::uint8_t> dst(n + 128, 0xAB);
                stream_copy(dst.data() + dst_off, src.data() + src_off, n);
                for (std::size_t i = 0; i < dst_off; ++i) ASSERT_EQ(dst[i], 0xAB) << n << " " << dst_off;
                ASSERT_EQ(std::memcmp(dst.data() + dst_off, src.data() + src_off, n), 0) << n << " " << dst_off;
                for (std::size_t i = dst_off + n; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0xAB) << n << " " << dst_off;
            }
        }
    }
}

}  // namespace
}  // namespace ravo::runtime
