// Cache-isolated storage for hot shared words.
//
// A counter written by one set of threads and read by another must not share
// a cache line (nor the adjacent-line prefetch pair) with anything else, or
// every write invalidates its neighbours. `Padded<T>` puts one value alone on
// a 128-byte-aligned block of exactly 128 bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ravo {

inline constexpr std::size_t kHotBlock = 128;

template <typename T>
struct alignas(kHotBlock) Padded {
    // alignas rounds sizeof up to a multiple of the block, so the rest of the
    // block is padding that nothing else can occupy.
    T value{};
};

using PaddedU64 = Padded<std::atomic<std::uint64_t>>;

static_assert(sizeof(PaddedU64) == kHotBlock, "a hot counter fills exactly one 128-byte block");
static_assert(alignof(PaddedU64) == kHotBlock, "a hot counter starts on a 128-byte boundary");

}  // namespace ravo
