// Locating the CUDA runtime at run time: the three-rung ladder, its notes and
// the process-wide cell. See resolve.h for the contract; everything here is
// callable from any thread and takes no lock.
#include "host_pinning/resolve.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

namespace ravo::host_pinning {

static_assert(RTLD_NOW == kModeNow, "the loader mode values are part of how the runtime is opened");
static_assert((RTLD_NOW | RTLD_NOLOAD) == kModeNowNoLoad,
              "the no-load probe asks for an already loaded library with immediate binding");

namespace {

constexpr std::string_view kRuntimeName = "libcudart.so";
constexpr std::string_view kRuntimePrefix = "libcudart.so.";
constexpr std::string_view kDeletedMarker = " (deleted)";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The four entry points, in `CudaApi` order.
constexpr const char* kSymbols[] = {"cudaHostRegister", "cudaHostUnregister", "cudaGetErrorName", "cudaFree"};

constexpr Rung kLadder[] = {Rung::LoadedScan, Rung::WheelSearch, Rung::SonameLoad};

// Length of the UTF-8 sequence starting at `i`. On a well-formed sequence
// `ok` is set and the whole length returned; otherwise the length of the
// maximal ill-formed prefix (at least 1), which one U+FFFD replaces.
std::size_t utf8_step(std::string_view s, std::size_t i, bool& ok) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    ok = false;
    if (b0 < 0x80) {
        ok = true;
        return 1;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;  // no overlong forms
        if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 1;
    }
    std::size_t len = 1;
    for (std::size_t k = 0; k < need; ++k) {
        if (i + len >= s.size()) return len;
        const auto b = static_cast<unsigned char>(s[i + len]);
        const unsigned char l = k == 0 ? lo : 0x80;
        const unsigned char h = k == 0 ? hi : 0xBF;
        if (b < l || b > h) return len;
        ++len;
    }
    ok = true;
    return len;
}

std::string_view file_name_of(std::string_view path) noexcept {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// One step of the component-wise walk over a path. Kinds order the way the
// path ordering needs them: root, ".", "..", then names.
enum ComponentKind : int { kRoot = 0, kCurDir = 1, kParentDir = 2, kNormal = 3 };

struct ComponentWalk {
    std::string_view rest;
    bool at_start = true;

    // Next component, or false at the end.
    bool next(ComponentKind& kind, std::string_view& text) noexcept {
        if (at_start) {
            at_start = false;
            if (!rest.empty() && rest.front() == '/') {
                while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
                kind = kRoot;
                text = {};
                return true;
            }
            // A leading "." of a relative path is kept; elsewhere it is noise.
            if (rest == "." || rest.starts_with("./")) {
                rest.remove_prefix(1);
                kind = kCurDir;
                text = ".";
                return true;
            }
        }
        for (;;) {
            while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
            if (rest.empty()) return false;
            const auto end = rest.find('/');
            const auto part = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
            if (part == ".") continue;
            kind = part == ".." ? kParentDir : kNormal;
            text = part;
            return true;
        }
    }
};

std::string join_path(std::string_view dir, std::string_view name) {
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out.append(dir);
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

// Lists one directory: subdirectories (by their own type, links not followed)
// go to `dirs`, everything else to `files`. A directory that cannot be
// listed yields nothing; an entry whose type cannot be read is skipped.
void list_directory(const std::string& path, std::vector<std::string>& dirs, std::vector<std::string>& files) {
    if (path.find('\0') != std::string::npos) return;
    DIR* dir = ::opendir(path.c_str());  // glibc opens it O_CLOEXEC
    if (dir == nullptr) return;
    const int fd = ::dirfd(dir);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            // errno 0 is the end of the listing; anything else is an
            // unreadable entry, after which the stream cannot go on. Either
            // way this directory is done and the search continues elsewhere.
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool is_dir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            // The file system gives no type in the listing: ask for the
            // entry's own type, not its target's.
            struct stat st {};
            if (fd < 0 || ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            is_dir = S_ISDIR(st.st_mode);
        }
        (is_dir ? dirs : files).push_back(join_path(path, name));
    }
    if (::closedir(dir) != 0) {
        // The stream was opened read-only and fully consumed: a failed close
        // loses nothing we read, and a search that never reports has nobody
        // to tell.
    }
}

struct TryOutcome {
    std::optional<CudaApi> api;
    std::string reason;  // why the candidate failed, when `api` is empty
};

TryOutcome try_candidate(const Candidate& candidate, const Loader& loader) {
    if (candidate.text.find('\0') != std::string::npos) return {std::nullopt, "path contains an interior NUL byte"};
    OpenResult opened;
    if (candidate.rung == Rung::SonameLoad) {
        // Prefer a copy that something in the process already loaded under
        // this soname; only then let the loader search for one.
        opened = loader.open(candidate.text.c_str(), kModeNowNoLoad);
        if (opened.handle == nullptr) opened = loader.open(candidate.text.c_str(), kModeNow);
    } else {
        opened = loader.open(candidate.text.c_str(), kModeNow);
    }
    if (opened.handle == nullptr) {
        return {std::nullopt, opened.error ? utf8_lossy(*opened.error) : std::string("dlopen failed")};
    }
    // The handle is deliberately never closed: the entry points may be kept
    // for the life of the process, and a failed candidate costs only mapping.
    void* found[4] = {};
    for (std::size_t k = 0; k < 4; ++k) {
        found[k] = loader.sym(opened.handle, kSymbols[k]);
        if (found[k] == nullptr) return {std::nullopt, "opened, but " + std::string(kSymbols[k]) + " is missing"};
    }
    CudaApi api;
    // dlsym hands out object pointers; POSIX guarantees they convert to the
    // function pointers they really are.
    api.host_register = reinterpret_cast<HostRegisterFn>(found[0]);
    api.host_unregister = reinterpret_cast<HostUnregisterFn>(found[1]);
    api.get_error_name = reinterpret_cast<GetErrorNameFn>(found[2]);
    api.free = reinterpret_cast<FreeFn>(found[3]);
    return {api, {}};
}

}  // namespace

std::string_view rung_name(Rung rung) noexcept {
    switch (rung) {
        case Rung::LoadedScan:
            return "already-loaded scan";
        case Rung::WheelSearch:
            return "installed-wheel search";
        case Rung::SonameLoad:
            return "soname load";
    }
    return "unknown rung";
}

const std::vector<std::string>& default_sonames() {
    static const std::vector<std::string> sonames = {"libcudart.so.13", "libcudart.so.12", "libcudart.so"};
    return sonames;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
    for (std::size_t i = 0; i < bytes.size();) {
        bool ok = false;
        i += utf8_step(bytes, i, ok);
        if (!ok) return false;
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        bool ok = false;
        const std::size_t n = utf8_step(bytes, i, ok);
        if (ok) {
            out.append(bytes.substr(i, n));
        } else {
            out.append(kReplacement);
        }
        i += n;
    }
    return out;
}

bool is_runtime_name(std::string_view file_name) noexcept {
    return file_name == kRuntimeName || file_name.starts_with(kRuntimePrefix);
}

std::optional<std::uint32_t> soname_major(std::string_view file_name) noexcept {
    if (!file_name.starts_with(kRuntimePrefix)) return std::nullopt;
    std::string_view text = file_name.substr(kRuntimePrefix.size());
    text = text.substr(0, text.find('.'));
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > UINT32_MAX) return std::nullopt;  // checked per digit, so it never wraps
    }
    return static_cast<std::uint32_t>(value);
}

int compare_paths(std::string_view a, std::string_view b) noexcept {
    ComponentWalk wa{a}, wb{b};
    for (;;) {
        ComponentKind ka{}, kb{};
        std::string_view ta, tb;
        const bool has_a = wa.next(ka, ta);
        const bool has_b = wb.next(kb, tb);
        if (!has_a || !has_b) return static_cast<int>(has_a) - static_cast<int>(has_b);
        if (ka != kb) return ka < kb ? -1 : 1;
        // string_view compares as unsigned bytes (char_traits<char>::compare).
        const int c = ta.compare(tb);
        if (c != 0) return c < 0 ? -1 : 1;
    }
}

std::optional<std::string_view> maps_line_path(std::string_view line) noexcept {
    if (line.ends_with(kDeletedMarker)) line.remove_suffix(kDeletedMarker.size());
    const auto at = line.find(" /");
    if (at == std::string_view::npos) return std::nullopt;
    const std::string_view path = line.substr(at + 1);
    if (!is_runtime_name(file_name_of(path))) return std::nullopt;
    return path;
}

std::vector<std::string> scan_maps(std::string_view maps_text) {
    std::vector<std::string> kept;
    if (!is_valid_utf8(maps_text)) return kept;
    while (!maps_text.empty()) {
        const auto nl = maps_text.find('\n');
        std::string_view line = maps_text.substr(0, nl);
        maps_text.remove_prefix(nl == std::string_view::npos ? maps_text.size() : nl + 1);
        if (nl != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        const auto path = maps_line_path(line);
        if (!path) continue;
        // A library is mapped once per segment; a handful of lines at most,
        // so a linear look-up is the cheap choice.
        if (std::find(kept.begin(), kept.end(), *path) == kept.end()) kept.emplace_back(*path);
    }
    return kept;
}

std::string read_self_maps() {
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char chunk[16384];
    bool failed = false;
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            failed = true;
            break;
        }
    }
    if (::close(fd) != 0) {
        // The file was only read; what we have is complete or already
        // marked failed, so a failed close changes nothing below.
    }
    // A half-read file could end mid-line and name a truncated path.
    if (failed) return {};
    return text;
}

std::vector<std::string> search_wheel_roots(const std::vector<std::string>& roots) {
    std::vector<std::pair<std::string, unsigned>> work;
    work.reserve(roots.size());
    for (const auto& root : roots) work.emplace_back(root, 0u);

    std::vector<std::string> collected;
    std::vector<std::string> dirs, files;
    while (!work.empty()) {
        auto [path, depth] = std::move(work.back());
        work.pop_back();
        dirs.clear();
        files.clear();
        list_directory(path, dirs, files);
        for (auto& dir : dirs) {
            if (depth + 1 <= kWheelDepthLimit) work.emplace_back(std::move(dir), depth + 1);
        }
        for (auto& file : files) {
            if (is_runtime_name(file_name_of(file)) && is_valid_utf8(file)) collected.push_back(std::move(file));
        }
    }

    const auto major = [](const std::string& p) { return soname_major(file_name_of(p)).value_or(0); };
    std::stable_sort(collected.begin(), collected.end(), [&](const std::string& a, const std::string& b) {
        const auto ma = major(a), mb = major(b);
        if (ma != mb) return ma > mb;
        return compare_paths(a, b) < 0;
    });
    return collected;
}

void* symbol(void* handle, const char* name) noexcept {
    void* p = ::dlsym(handle, name);
    if (p == nullptr) {
        // A miss leaves an error pending in this thread's loader state;
        // consume it so it is not mistaken later for a failed dlopen's text.
        static_cast<void>(::dlerror());
    }
    return p;
}

Loader Loader::system() {
    Loader loader;
    loader.open = [](const char* name, int mode) -> OpenResult {
        // Drop any stale error so the text read below belongs to this call.
        static_cast<void>(::dlerror());
        void* handle = ::dlopen(name, mode);
        if (handle != nullptr) return {handle, std::nullopt};
        const char* error = ::dlerror();
        return {nullptr, error != nullptr ? std::optional<std::string>(error) : std::nullopt};
    };
    loader.sym = [](void* handle, const char* name) { return symbol(handle, name); };
    return loader;
}

SearchConfig SearchConfig::system(std::vector<std::string> wheel_roots) {
    SearchConfig config;
    config.read_maps = [] { return read_self_maps(); };
    config.wheel_roots = std::move(wheel_roots);
    config.sonames = default_sonames();
    config.loader = Loader::system();
    return config;
}

std::string empty_rung_note(Rung rung, const std::vector<std::string>& roots) {
    switch (rung) {
        case Rung::LoadedScan:
            return "this process has no CUDA runtime mapped";
        case Rung::WheelSearch: {
            if (roots.empty()) return "no CUDA vendor package is importable";
            std::string text = "no runtime found beneath ";
            for (std::size_t i = 0; i < roots.size(); ++i) {
                if (i != 0) text += ", ";
                text += utf8_lossy(roots[i]);
            }
            return text;
        }
        case Rung::SonameLoad:
            return "no soname candidates";
    }
    return {};
}

std::vector<Candidate> candidates(std::string_view maps_text, const std::vector<std::string>& roots,
                                  const std::vector<std::string>& sonames) {
    std::vector<Candidate> list;
    const auto append = [&list](std::vector<std::string> texts, Rung rung) {
        for (auto& text : texts) {
            const bool seen = std::any_of(list.begin(), list.end(), [&](const Candidate& c) { return c.text == text; });
            if (!seen) list.push_back({std::move(text), rung});
        }
    };
    append(scan_maps(maps_text), Rung::LoadedScan);
    append(search_wheel_roots(roots), Rung::WheelSearch);
    append(sonames, Rung::SonameLoad);
    return list;
}

std::vector<Candidate> candidates(const SearchConfig& config) {
    const std::string maps = config.read_maps ? config.read_maps() : std::string();
    return candidates(maps, config.wheel_roots, config.sonames);
}

std::variant<CudaApi, std::vector<std::string>> resolve(const std::vector<Candidate>& list,
                                                        const std::vector<std::string>& roots,
                                                        const Loader& loader) {
    std::vector<std::string> notes;
    for (const Rung rung : kLadder) {
        const std::string_view name = rung_name(rung);
        bool any = false;
        for (const auto& candidate : list) {
            if (candidate.rung != rung) continue;
            any = true;
            TryOutcome outcome = try_candidate(candidate, loader);
            if (outcome.api) return *outcome.api;
            notes.push_back(utf8_lossy(candidate.text) + " [" + std::string(name) + "]: " + outcome.reason);
        }
        if (!any) notes.push_back("(none) [" + std::string(name) + "]: " + empty_rung_note(rung, roots));
    }
    return notes;
}

ApiCell::~ApiCell() {
    // Destruction implies no concurrent user (whoever ends the cell's life
    // is ordered after every reader), so relaxed is enough; it pairs with
    // nothing.
    delete value_.load(std::memory_order_relaxed);
}

const CudaApi* ApiCell::get() const noexcept {
    // Pairs with the release half of the CAS in `publish`.
    return value_.load(std::memory_order_acquire);
}

const CudaApi* ApiCell::publish(const CudaApi& value) {
    auto fresh = std::make_unique<CudaApi>(value);
    const CudaApi* expected = nullptr;
    // Success releases the written `CudaApi` to `get()`'s acquire load;
    // failure acquires the winner's value, which we then hand out.
    if (value_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
        return fresh.release();
    }
    return expected;
}

ApiCell& process_cell() {
    // Never destroyed: pointers handed out stay valid through process exit,
    // even for a ring released by a static destructor.
    static ApiCell* const cell = new ApiCell();
    return *cell;
}

std::variant<const CudaApi*, std::vector<std::string>> api_with(ApiCell& cell, const SearchConfig& config) {
    if (const CudaApi* cached = cell.get()) return cached;
    const std::vector<Candidate> list = candidates(config);
    auto result = resolve(list, config.wheel_roots, config.loader);
    if (auto* found = std::get_if<CudaApi>(&result)) return cell.publish(*found);
    return std::get<std::vector<std::string>>(std::move(result));
}

std::variant<const CudaApi*, std::vector<std::string>> api(const std::vector<std::string>& wheel_roots) {
    ApiCell& cell = process_cell();
    // Fast path without building a search configuration.
    if (const CudaApi* cached = cell.get()) return cached;
    return api_with(cell, SearchConfig::system(wheel_roots));
}

}  // namespace ravo::host_pinning
