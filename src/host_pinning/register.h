// Registering the ring's memory with the CUDA runtime as page-locked memory.
//
// `pin_host_memory` resolves the runtime (resolve.h) and registers every
// non-empty region, all or nothing: a refused registration rolls back every
// registration made before it. `release` is what destroying a pinned ring
// does before it frees the memory.
//
// Contract:
// - `pin_host_memory` / `pin_all` run on the thread that builds the server,
//   with the interpreter lock released, before the ring is shared: the
//   regions are touched by no other thread, so nothing here locks. They may
//   block for as long as the runtime takes to initialise and register.
// - `release` runs on whichever thread drops the last share of the ring; it
//   neither allocates nor throws, so it is safe in a destructor.
// - Errors are values (`PinError`, `RegisterFailed`); nothing here throws
//   except `std::bad_alloc` while building an error's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host_pinning/resolve.h"

namespace ravo::host_pinning {

// One leaf region of the ring: its start and its length in bytes. A region
// of length 0 owns no memory and is never registered, rolled back or
// released, but keeps its index.
struct Region {
    void* start = nullptr;
    std::size_t bytes = 0;
};

// The runtime refused to register region `index` (`bytes` long) with `code`.
struct RegisterFailed {
    std::string name;
    std::int32_t code = 0;
    std::size_t index = 0;
    std::size_t bytes = 0;
};

// No runtime could be loaded; one note per failed probe, in order.
struct NoRuntime {
    std::vector<std::string> notes;
};

struct PinError {
    std::variant<NoRuntime, RegisterFailed> form;

    // The text the user reads (raised as a RuntimeError), no trailing line break.
    std::string to_string() const;
};

// The name of a CUDA status: the runtime's name for it (invalid UTF-8
// replaced), or "unrecognised CUDA error <status>" when it has none.
std::string error_name(const CudaApi& api, std::int32_t status);

// Initialises the runtime with cudaFree(NULL), then registers each non-empty
// region in order with flags 1 (portable). On the first refusal, unregisters
// every earlier non-empty region in order and returns what was refused;
// later regions are never touched.
std::optional<RegisterFailed> pin_all(const CudaApi& api, const std::vector<Region>& regions);

// Unregisters each non-empty region once, in order; results ignored.
void release(const CudaApi& api, const std::vector<Region>& regions) noexcept;

// The same for one region (nothing for an empty one), for a destructor that
// walks its own regions without building a list.
void release_region(const CudaApi& api, const Region& region) noexcept;

// Resolves the runtime and pins every region. On success returns a copy of
// the entry points, for the ring's `pinned` field; on failure nothing stays
// registered.
std::variant<CudaApi, PinError> pin_host_memory(const std::vector<Region>& regions,
                                                const std::vector<std::string>& wheel_roots);

// `pin_host_memory` over an explicit cell and search configuration (tests).
std::variant<CudaApi, PinError> pin_host_memory_with(ApiCell& cell, const SearchConfig& config,
                                                     const std::vector<Region>& regions);

}  // namespace ravo::host_pinning
