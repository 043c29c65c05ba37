// Fuzz target: the sample layout a server is built from (user-given shapes,
// element sizes, batch size and buffer count) and everything computed from it.
// For any layout:
// - encode_handshake() decodes, with the independent decoder below, to the
//   low 32 bits of every value, and has the documented length;
// - check_handshake_fits() refuses exactly the layouts holding a value above
//   32 bits, and for the others the round trip is exact;
// - byte_size(), checked_byte_size(), sample_size() and checked_mul() agree
//   with 128-bit arithmetic (wrapping, or overflow reported);
// - Store::create() refuses exactly the configurations whose checks must fail
//   (with the fixed texts where there is one), and builds the others that are
//   small enough to allocate here, with the right slot sizes.
// Single-threaded; a failed check aborts (libFuzzer reports it as a crash).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "array_spec.h"
#include "metrics.h"
#include "selector.h"
#include "store.h"
#include "transport/tcp/handshake.h"

namespace {

using ravo::ArraySpec;
using u128 = unsigned __int128;

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_layout: check failed: %s\n", what);
        std::abort();
    }
}

// Values that reach the interesting edges: small ones, powers of two and
// their neighbours (32- and 64-bit limits), and anything.
std::uint64_t pick_u64(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return in.ConsumeIntegralInRange<std::uint64_t>(0, 16);
        case 1: {
            const int shift = in.ConsumeIntegralInRange<int>(0, 63);
            const int delta = in.ConsumeIntegralInRange<int>(-2, 2);
            return (std::uint64_t{1} << shift) + static_cast<std::uint64_t>(static_cast<std::int64_t>(delta));
        }
        case 2:
            return in.ConsumeIntegralInRange<std::uint64_t>(0xFFFFFFF0ull, 0x100000010ull);
        default:
            return in.ConsumeIntegral<std::uint64_t>();
    }
}

// ---- an independent handshake decoder --------------------------------------

struct Reader {
    const std::vector<std::uint8_t>& b;
    std::size_t at = 0;
    bool u32(std::uint32_t& v) {
        if (b.size() - at < 4) return false;
        v = static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
            static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
        at += 4;
        return true;
    }
};

struct DecodedLeaf {
    std::uint32_t elem = 0;
    std::vector<std::uint32_t> dims;
};

std::optional<std::vector<DecodedLeaf>> decode(const std::vector<std::uint8_t>& b) {
    if (b.size() < 9 || b[0] != 'R' || b[1] != 'A' || b[2] != 'V' || b[3] != 'O' || b[4] != 1) return std::nullopt;
    Reader r{b, 5};
    std::uint32_t count = 0;
    if (!r.u32(count)) return std::nullopt;
    std::vector<DecodedLeaf> out;
    for (std::uint32_t i = 0; i < count; ++i) {
        DecodedLeaf leaf;
        std::uint32_t ndim = 0;
        if (!r.u32(leaf.elem) || !r.u32(ndim)) return std::nullopt;
        for (std::uint32_t d = 0; d < ndim; ++d) {
            std::uint32_t v = 0;
            if (!r.u32(v)) return std::nullopt;
            leaf.dims.push_back(v);
        }
        out.push_back(std::move(leaf));
    }
    if (r.at != b.size()) return std::nullopt;  // trailing bytes
    return out;
}

// ---- sizes in 128-bit arithmetic -------------------------------------------

std::uint64_t wrapped_size(const ArraySpec& s) {
    std::uint64_t w = 1;
    for (std::uint64_t d : s.shape) w = static_cast<std::uint64_t>(static_cast<u128>(w) * d);
    return static_cast<std::uint64_t>(static_cast<u128>(w) * s.dtype_size);
}

// The true product, or nothing above 2^64 - 1 (any zero factor makes it 0).
std::optional<std::uint64_t> exact_size(const ArraySpec& s) {
    if (s.dtype_size == 0) return 0;
    for (std::uint64_t d : s.shape) {
        if (d == 0) return 0;
    }
    u128 p = 1;
    for (std::uint64_t d : s.shape) {
        p *= d;  // p < 2^64 and d < 2^64 here, so no 128-bit overflow
        if (p >> 64) return std::nullopt;
    }
    p *= s.dtype_size;
    if (p >> 64) return std::nullopt;
    return static_cast<std::uint64_t>(p);
}

void check_sizes(const std::vector<ArraySpec>& specs) {
    std::uint64_t sum = 0;
    for (const ArraySpec& s : specs) {
        require(s.byte_size() == wrapped_size(s), "byte_size() wraps like 64-bit arithmetic");
        require(s.checked_byte_size() == exact_size(s), "checked_byte_size() is the exact product or nothing");
        sum += wrapped_size(s);
    }
    require(ravo::sample_size(specs) == sum, "sample_size() is the wrapping sum of the leaves");
}

void check_handshake(const std::vector<ArraySpec>& specs) {
    bool too_wide = false;
    std::size_t expect_len = 9;
    for (const ArraySpec& s : specs) {
        expect_len += 8 + 4 * s.shape.size();
        if (s.dtype_size > 0xFFFFFFFFull) too_wide = true;
        for (std::uint64_t d : s.shape) {
            if (d > 0xFFFFFFFFull) too_wide = true;
        }
    }
    const ravo::Status fits = ravo::transport::tcp::check_handshake_fits(specs);
    require(fits.ok() == !too_wide, "check_handshake_fits() refuses exactly the values above 32 bits");
    if (!fits.ok()) require(!fits.error().message.empty(), "a refusal has a text");

    const std::vector<std::uint8_t> bytes = ravo::transport::tcp::encode_handshake(specs);
    require(bytes.size() == expect_len, "handshake length is 9 + sum(8 + 4 * ndim)");
    const auto decoded = decode(bytes);
    require(decoded.has_value(), "the handshake decodes");
    require(decoded->size() == specs.size(), "leaf count");
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const DecodedLeaf& leaf = (*decoded)[i];
        require(leaf.elem == static_cast<std::uint32_t>(specs[i].dtype_size), "element size, low 32 bits");
        require(leaf.dims.size() == specs[i].shape.size(), "ndim");
        for (std::size_t d = 0; d < leaf.dims.size(); ++d) {
            require(leaf.dims[d] == static_cast<std::uint32_t>(specs[i].shape[d]), "dimension, low 32 bits");
        }
        if (fits.ok()) {
            // Exact round trip: what a producer reads is the layout itself.
            ArraySpec back{std::vector<std::uint64_t>(leaf.dims.begin(), leaf.dims.end()), leaf.elem};
            require(back.byte_size() == specs[i].byte_size(), "a producer computes the same leaf size");
        }
    }
}

void check_store(const std::vector<ArraySpec>& specs, std::uint64_t batch, std::uint64_t nb) {
    const std::uint64_t cap = batch * nb;  // wrapping, as the store computes it
    const bool mul_overflows = (static_cast<u128>(batch) * nb) >> 64 != 0;
    bool leaf_overflows = false, region_overflows = false;
    u128 total = 0;
    for (const ArraySpec& s : specs) {
        const auto size = exact_size(s);
        if (!size) {
            leaf_overflows = true;
            continue;
        }
        const u128 region = static_cast<u128>(*size) * cap;
        if (region >> 64) region_overflows = true;
        total += region;
    }
    const bool must_fail = nb < 2 || cap == 0 || batch == 0 || cap % batch != 0 || specs.empty() || mul_overflows ||
                           leaf_overflows || region_overflows;
    // Only configurations that are refused or small are built here.
    if (!must_fail && (total > (1u << 20) || cap > (1u << 16))) return;

    auto sampler = ravo::FifoSampler::with_metrics(1, 2, ravo::Metrics::create(1));
    require(sampler.ok(), "a small sampler builds");
    auto store = ravo::Store::create(specs, batch, nb, std::move(sampler).value(),
                                     std::make_unique<ravo::FifoRemover>());
    require(store.ok() == !must_fail, "Store::create refuses exactly the configurations that must fail");
    if (!store.ok()) {
        const std::string& text = store.error().message;
        if (nb < 2) {
            require(text == "num_batches must be >= 2", "the num_batches text comes first");
        } else if (cap == 0) {
            require(text == "capacity must be > 0", "the capacity text");
        }
        return;
    }
    require(store.value()->capacity() == cap && store.value()->batch_size() == batch, "store geometry");
    for (std::size_t i = 0; i < specs.size(); ++i) {
        require(store.value()->ring().slot_bytes(i) == specs[i].byte_size(), "slot size is the leaf size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<ArraySpec> specs(in.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (ArraySpec& s : specs) {
        s.dtype_size = pick_u64(in);
        s.shape.resize(in.ConsumeIntegralInRange<std::size_t>(0, 5));
        for (std::uint64_t& d : s.shape) d = pick_u64(in);
    }
    const std::uint64_t batch = pick_u64(in);
    const std::uint64_t nb = pick_u64(in);

    const u128 product = static_cast<u128>(batch) * nb;
    const auto checked = ravo::checked_mul(batch, nb);
    require(checked.has_value() == ((product >> 64) == 0), "checked_mul reports overflow exactly");
    if (checked) require(*checked == static_cast<std::uint64_t>(product), "checked_mul's product");

    check_sizes(specs);
    check_handshake(specs);
    check_store(specs, batch, nb);
    return 0;
}
