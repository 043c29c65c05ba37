// One leaf of a sample: its shape and element size.
//
// Every sample of a server has the same leaves. The byte size of a leaf is
// the product of its dimensions times its element size, in wrapping unsigned
// 64-bit arithmetic; an empty shape (a scalar) gives the element size and any
// zero dimension gives 0. The store, the drainers and the handshake all use
// this one rule, so it lives here and nowhere else.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace ravo {

struct ArraySpec {
    std::vector<std::uint64_t> shape;
    std::uint64_t dtype_size = 0;

    // Wrapping product; see checked_byte_size() for the overflow test.
    std::uint64_t byte_size() const noexcept;

    // The same product, or nothing when it does not fit in 64 bits. A zero
    // dimension makes the product 0 whatever the other factors are, exactly
    // as the wrapping computation gives it.
    std::optional<std::uint64_t> checked_byte_size() const noexcept;
};

// Sum of the leaves' byte sizes: the length of one sample on the wire and in
// a producer buffer (wrapping, like byte_size()).
std::uint64_t sample_size(const std::vector<ArraySpec>& specs) noexcept;

// Multiplication that reports overflow instead of wrapping.
inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
    return out;
}

}  // namespace ravo
