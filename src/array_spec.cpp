// Leaf byte sizes; see array_spec.h.
#include "array_spec.h"

namespace ravo {

std::uint64_t ArraySpec::byte_size() const noexcept {
    std::uint64_t n = 1;
    for (std::uint64_t d : shape) n *= d;  // wraps by definition of the layout rule
    return n * dtype_size;
}

std::optional<std::uint64_t> ArraySpec::checked_byte_size() const noexcept {
    for (std::uint64_t d : shape) {
        if (d == 0) return std::uint64_t{0};
    }
    if (dtype_size == 0) return std::uint64_t{0};
    std::uint64_t n = 1;
    for (std::uint64_t d : shape) {
        auto next = checked_mul(n, d);
        if (!next) return std::nullopt;
        n = *next;
    }
    return checked_mul(n, dtype_size);
}

std::uint64_t sample_size(const std::vector<ArraySpec>& specs) noexcept {
    std::uint64_t total = 0;
    for (const ArraySpec& s : specs) total += s.byte_size();
    return total;
}

}  // namespace ravo
