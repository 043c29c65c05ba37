// Copies into batch memory, with streaming stores for large blocks.
//
// A batch is read by the consumer (or a GPU copy) well after it was written,
// and a large one does not survive in the cache until then. Ordinary stores
// first read every destination line from memory and then push the sample's
// neighbours out of the cache; streaming (non-temporal) stores write whole
// lines straight to memory. Below `kStreamThreshold` bytes the ordinary copy
// wins: the lines are likely still cached when the consumer reads them.
//
// Contract: same as memcpy (no overlap). Thread-safe; the streamed stores
// are fenced before returning, so whatever publishes the copy afterwards
// (a release store) orders them like ordinary stores.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ravo::runtime {

inline constexpr std::size_t kStreamThreshold = 64 * 1024;

inline void stream_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
    if (n < kStreamThreshold) {
        std::memcpy(dst, src, n);
        return;
    }
    // Up to the first 64-byte boundary of the destination: ordinary copy.
    const std::size_t head = (64 - (reinterpret_cast<std::uintptr_t>(dst) & 63)) & 63;
    std::memcpy(dst, src, head);
    dst += head;
    src += head;
    n -= head;
    const std::size_t lines = n / 64;
    for (std::size_t i = 0; i < lines; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 48), d);
        src += 64;
        dst += 64;
    }
    // Streaming stores are weakly ordered: fence them before the caller
    // publishes the slot.
    _mm_sfence();
    std::memcpy(dst, src, n % 64);
}

}  // namespace ravo::runtime
