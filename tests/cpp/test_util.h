// Helpers shared by the C++ tests.
#pragma once

#include <cstdint>

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

}  // namespace ravo::testing
