// Page-locking the ring's regions: registration with rollback, the release
// at destruction, and the two text forms of `PinError`. See register.h for
// the contract.
#include "host_pinning/register.h"

#include <utility>

namespace ravo::host_pinning {

namespace {

// cudaHostRegisterPortable: the memory counts as pinned for every context,
// not only the one current at registration.
constexpr std::uint32_t kRegisterPortable = 1;

std::variant<CudaApi, PinError> pin_through(std::variant<const CudaApi*, std::vector<std::string>> resolved,
                                            const std::vector<Region>& regions) {
    if (auto* notes = std::get_if<std::vector<std::string>>(&resolved)) {
        return PinError{NoRuntime{std::move(*notes)}};
    }
    // A copy: the ring keeps its own entry points in `pinned`.
    const CudaApi api = *std::get<const CudaApi*>(resolved);
    if (auto failed = pin_all(api, regions)) return PinError{std::move(*failed)};
    return api;
}

}  // namespace

std::string PinError::to_string() const {
    if (const auto* none = std::get_if<NoRuntime>(&form)) {
        std::string text = "pin_host_memory=True but no CUDA runtime could be loaded. Probed, in order:";
        for (const auto& note : none->notes) {
            text += "\n  - ";
            text += note;
        }
        text +=
            "\nInstall a CUDA runtime (for example the nvidia-cuda-runtime wheel), or construct the Server after "
            "your framework has initialised CUDA.";
        return text;
    }
    const auto& failed = std::get<RegisterFailed>(form);
    return "pin_host_memory=True but cudaHostRegister failed with " + failed.name + " (" +
           std::to_string(failed.code) + ") on ring buffer " + std::to_string(failed.index) + " (" +
           std::to_string(failed.bytes) +
           " bytes). Registrations made before the failure have been rolled back. A usable CUDA device must be "
           "visible to this process; construct the Server after CUDA is initialised.";
}

std::string error_name(const CudaApi& api, std::int32_t status) {
    const char* name = api.get_error_name(status);
    if (name == nullptr) return "unrecognised CUDA error " + std::to_string(status);
    return utf8_lossy(name);
}

std::optional<RegisterFailed> pin_all(const CudaApi& api, const std::vector<Region>& regions) {
    // Freeing a null pointer frees nothing; it makes the runtime initialise
    // itself now rather than inside the first registration. Its status tells
    // us nothing the registration below will not.
    static_cast<void>(api.free(nullptr));
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& region = regions[i];
        if (region.bytes == 0) continue;
        const std::int32_t status = api.host_register(region.start, region.bytes, kRegisterPortable);
        if (status == 0) continue;
        // All or nothing: undo what this call registered, oldest first. The
        // runtime's verdict on an unregister cannot be acted on.
        for (std::size_t j = 0; j < i; ++j) {
            if (regions[j].bytes != 0) static_cast<void>(api.host_unregister(regions[j].start));
        }
        return RegisterFailed{error_name(api, status), status, i, region.bytes};
    }
    return std::nullopt;
}

void release_region(const CudaApi& api, const Region& region) noexcept {
    // Nothing can be done about a refused unregister while the memory is
    // being freed, so its status is dropped.
    if (region.bytes != 0) static_cast<void>(api.host_unregister(region.start));
}

void release(const CudaApi& api, const std::vector<Region>& regions) noexcept {
    for (const Region& region : regions) release_region(api, region);
}

std::variant<CudaApi, PinError> pin_host_memory(const std::vector<Region>& regions,
                                                const std::vector<std::string>& wheel_roots) {
    return pin_through(api(wheel_roots), regions);
}

std::variant<CudaApi, PinError> pin_host_memory_with(ApiCell& cell, const SearchConfig& config,
                                                     const std::vector<Region>& regions) {
    return pin_through(api_with(cell, config), regions);
}

}  // namespace ravo::host_pinning
