// Locating the CUDA runtime at run time.
//
// The module never links against `libcudart`: when a server asks for pinned
// memory, `api()` walks a ladder of three rungs (libraries this process has
// already mapped, libraries below the CUDA vendor's Python package roots, the
// loader's own soname search) and keeps the first library that provides the
// four entry points in `CudaApi`. The first success is stored in a process-wide
// cell and reused for the life of the process; a failed search stores nothing
// and hands back one note per failed attempt or empty rung, in ladder order.
//
// Contract:
// - Every function here may be called from any thread, without the Python
//   interpreter lock. Nothing here blocks on a lock: the search itself is
//   lock-free, and the only shared state is the `ApiCell`, published with one
//   compare-and-swap (the first stored value wins).
// - Nothing here throws except `std::bad_alloc`; every failure of the search
//   (unreadable files, loader errors, missing symbols) becomes a note.
// - Libraries opened during a search, useful or not, are never closed.
// - Nothing CUDA is touched until `api()` (or a `*_with` variant) is called.
// - Paths are carried as byte strings (`std::string`); the helpers that turn
//   bytes into display text replace invalid UTF-8 with U+FFFD.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ravo::host_pinning {

// The four CUDA runtime signatures, declared here so that no CUDA header is
// needed. `cudaError_t` is a C enum, which on this ABI is passed and returned
// exactly like a signed 32-bit integer; `unsigned int` flags are 32 bits.
using HostRegisterFn = std::int32_t (*)(void* host_ptr, std::size_t bytes, std::uint32_t flags);
using HostUnregisterFn = std::int32_t (*)(void* host_ptr);
using GetErrorNameFn = const char* (*)(std::int32_t status);
using FreeFn = std::int32_t (*)(void* device_ptr);

// The resolved entry points, in this order. A `CudaApi` is a plain value: the
// ring copies it into its `pinned` field, and the library behind it is never
// unloaded, so a copy stays callable for the life of the process.
struct CudaApi {
    HostRegisterFn host_register = nullptr;      // cudaHostRegister
    HostUnregisterFn host_unregister = nullptr;  // cudaHostUnregister
    GetErrorNameFn get_error_name = nullptr;     // cudaGetErrorName
    FreeFn free = nullptr;                       // cudaFree
};

// The search steps, in ladder order.
enum class Rung { LoadedScan, WheelSearch, SonameLoad };

// "already-loaded scan", "installed-wheel search", "soname load".
std::string_view rung_name(Rung rung) noexcept;

// One library to try: a path or a soname, and the rung that found it.
struct Candidate {
    std::string text;
    Rung rung;

    friend bool operator==(const Candidate&, const Candidate&) = default;
};

// The loader's soname list, most recent major first.
const std::vector<std::string>& default_sonames();

// ---------------------------------------------------------------------------
// Text helpers.

// True when `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes) noexcept;

// `bytes` as UTF-8, each maximal ill-formed subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// The library name test: "libcudart.so" itself, or any name beginning with
// "libcudart.so." (the final dot included).
bool is_runtime_name(std::string_view file_name) noexcept;

// The major version in a runtime file name: "libcudart.so.12.4.127" gives 12;
// "libcudart.so", "libcudart.so.x" and majors above 2^32 - 1 give none.
std::optional<std::uint32_t> soname_major(std::string_view file_name) noexcept;

// Orders two paths component by component ('/'-separated, empty and interior
// "." components ignored, the root before everything, "." before ".." before
// names, names by bytes). Returns <0, 0 or >0.
int compare_paths(std::string_view a, std::string_view b) noexcept;

// ---------------------------------------------------------------------------
// The already-loaded scan.

// The library path named by one line of /proc/self/maps (line feed already
// removed), or nothing when the line names no file or a file that fails the
// name test. A trailing " (deleted)" marker is not part of the path.
std::optional<std::string_view> maps_line_path(std::string_view line) noexcept;

// Every runtime path in a whole maps text, in order of first appearance, each
// once. Lines end at '\n'; a '\r' right before it is dropped. A text that is
// not valid UTF-8 as a whole counts as empty: the scan finds nothing and the
// search goes on to the later rungs. That costs nothing in practice, since the
// loader's by-name open returns a runtime already mapped under that soname.
std::vector<std::string> scan_maps(std::string_view maps_text);

// The raw contents of /proc/self/maps, or "" when it cannot be read.
std::string read_self_maps();

// ---------------------------------------------------------------------------
// The installed-wheel search.

// Runtime files in the roots and up to three directory levels below them,
// symbolic links never followed (a link with a matching name is collected
// like a file). Sorted by `soname_major` (larger first, none counting as 0),
// ties by `compare_paths`. Unreadable directories and entries are skipped.
// Paths that are not valid UTF-8 are dropped.
std::vector<std::string> search_wheel_roots(const std::vector<std::string>& roots);

// The deepest directory level below a root that is still listed.
inline constexpr unsigned kWheelDepthLimit = 3;

// ---------------------------------------------------------------------------
// Loading.

// What opening one library gave: a handle, or the loader's error text (raw
// bytes; nothing when the loader gave none).
struct OpenResult {
    void* handle = nullptr;
    std::optional<std::string> error;
};

// dlopen-like and dlsym-like hooks; the system ones by default.
struct Loader {
    std::function<OpenResult(const char* name, int mode)> open;
    std::function<void*(void* handle, const char* name)> sym;

    static Loader system();
};

// The loader modes used, fixed by the search (local symbols, no global flag).
inline constexpr int kModeNow = 2;        // RTLD_NOW
inline constexpr int kModeNowNoLoad = 6;  // RTLD_NOW | RTLD_NOLOAD

// One entry point from an open library via dlsym; null is a miss.
void* symbol(void* handle, const char* name) noexcept;

// Everything the search reads from the outside world. `system()` is the real
// process: /proc/self/maps, the given roots, the default soname list and the
// system loader. Tests replace parts of it.
struct SearchConfig {
    std::function<std::string()> read_maps;
    std::vector<std::string> wheel_roots;
    std::vector<std::string> sonames;
    Loader loader;

    static SearchConfig system(std::vector<std::string> wheel_roots);
};

// ---------------------------------------------------------------------------
// The ladder.

// The note text for a rung that found nothing to try.
std::string empty_rung_note(Rung rung, const std::vector<std::string>& roots);

// Builds the candidate list: the maps scan of `maps_text`, then the wheel
// search over `roots`, then `sonames`; an entry whose text equals an earlier
// candidate's is dropped (the earlier rung keeps it).
std::vector<Candidate> candidates(std::string_view maps_text,
                                  const std::vector<std::string>& roots,
                                  const std::vector<std::string>& sonames);

// Same, reading the maps text and the roots from `config`.
std::vector<Candidate> candidates(const SearchConfig& config);

// Walks the candidates rung by rung; the first that yields all four entry
// points wins. Otherwise the ordered notes.
std::variant<CudaApi, std::vector<std::string>> resolve(const std::vector<Candidate>& list,
                                                        const std::vector<std::string>& roots,
                                                        const Loader& loader);

// ---------------------------------------------------------------------------
// The process-wide cell.

// A cell set at most once, then read without a lock. The stored `CudaApi` is
// heap-allocated and never moves, so the pointer handed out stays valid for
// the life of the cell (the process-wide cell is never destroyed).
class ApiCell {
public:
    ApiCell() = default;
    ApiCell(const ApiCell&) = delete;
    ApiCell& operator=(const ApiCell&) = delete;
    ~ApiCell();

    // The stored entry points, or null while unset.
    const CudaApi* get() const noexcept;

    // Stores `value` unless a value is already stored; returns the stored one.
    const CudaApi* publish(const CudaApi& value);

private:
    // Set once by `publish`, never cleared. acq_rel/acquire on the CAS pairs
    // with the acquire load in `get()`: a reader that sees the pointer sees
    // the fully written `CudaApi` behind it.
    std::atomic<const CudaApi*> value_{nullptr};
};

// The cell every server in the process shares.
ApiCell& process_cell();

// The cached entry points, or the notes of a failed search (nothing cached).
std::variant<const CudaApi*, std::vector<std::string>> api(const std::vector<std::string>& wheel_roots);

// `api` over an explicit cell and search configuration (tests).
std::variant<const CudaApi*, std::vector<std::string>> api_with(ApiCell& cell, const SearchConfig& config);

}  // namespace ravo::host_pinning
