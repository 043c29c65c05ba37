// Handshake encoding; see handshake.h.
#include "transport/tcp/handshake.h"

#include <limits>
#include <string>

namespace ravo::transport::tcp {

namespace {

void put_u32(std::vector<std::uint8_t>& out, std::uint64_t v) {
    const auto low = static_cast<std::uint32_t>(v);  // the low 32 bits, by definition of the layout
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(low >> (8 * i)));
}

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::vector<std::uint8_t> encode_handshake(const std::vector<ArraySpec>& specs) {
    std::size_t len = 9;
    for (const ArraySpec& s : specs) len += 8 + 4 * s.shape.size();
    std::vector<std::uint8_t> out;
    out.reserve(len);
    out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
    out.push_back(kVersion);
    put_u32(out, specs.size());
    for (const ArraySpec& s : specs) {
        put_u32(out, s.dtype_size);
        put_u32(out, s.shape.size());
        for (std::uint64_t d : s.shape) put_u32(out, d);
    }
    return out;
}

Status check_handshake_fits(const std::vector<ArraySpec>& specs) {
    if (specs.size() > kU32Max) {
        return Error::config("the handshake cannot describe " + std::to_string(specs.size()) +
                             " leaves: the leaf count must fit in 32 bits");
    }
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const ArraySpec& s = specs[i];
        if (s.dtype_size > kU32Max) {
            return Error::config("leaf " + std::to_string(i) + ": dtype_size " + std::to_string(s.dtype_size) +
                                 " does not fit in the handshake's 32 bits");
        }
        if (s.shape.size() > kU32Max) {
            return Error::config("leaf " + std::to_string(i) + ": " + std::to_string(s.shape.size()) +
                                 " dimensions do not fit in the handshake's 32 bits");
        }
        for (std::uint64_t d : s.shape) {
            if (d > kU32Max) {
                return Error::config("leaf " + std::to_string(i) + ": dimension " + std::to_string(d) +
                                     " does not fit in the handshake's 32 bits");
            }
        }
    }
    return {};
}

}  // namespace ravo::transport::tcp
