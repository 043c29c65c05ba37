// Helpers shared by the C++ tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace ravo::testing {

// Sanitizer builds run the stress tests with fewer iterations.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

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

}  // namespace ravo::testing
