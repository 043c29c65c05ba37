// Helpers shared by the C++ tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "runtime/runtime.h"

namespace ravo::testing {

// Sanitizer builds run the stress tests with fewer iterations.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Divisor for stress-test iteration counts under a sanitizer.
inline constexpr int kScale = kSanitized ? 4 : 1;

inline std::uint64_t scaled(std::uint64_t native, std::uint64_t sanitized) {
    return kSanitized ? sanitized : native;
}

// Polls `pred` until it holds; false after a generous timeout, so a hang
// fails the test instead of freezing it.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Counts live instances; a frame destroyed twice or never shows up here.
struct Tracked {
    explicit Tracked(std::atomic<int>& live) : live_(&live) { live_->fetch_add(1); }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    ~Tracked() { live_->fetch_sub(1); }
    std::atomic<int>* live_;
};

// A runtime for a test; a failure to build one fails the test. Every worker
// runs, whatever the machine's CPU count, so a test that occupies one worker
// on purpose still has the others.
inline std::unique_ptr<runtime::Runtime> make_runtime(std::size_t workers, std::string name = "rt-test") {
    auto created = runtime::Runtime::create(std::move(name), workers, runtime::WorkerPolicy::Default, workers);
    EXPECT_TRUE(created.ok());
    return std::move(created).value();
}

}  // namespace ravo::testing
