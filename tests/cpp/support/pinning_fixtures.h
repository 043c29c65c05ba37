// Shared fixtures of the host-pinning tests: temporary directory trees, the
// two builds of the stand-in CUDA runtime (fake_cudart.c) and access to its
// control functions. Test-thread only.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "host_pinning/resolve.h"
#include "support/fake_cudart.h"

namespace ravo::host_pinning::testing {

namespace fs = std::filesystem;

inline std::string fake_cudart_path() { return std::string(RAVO_FAKE_CUDART_DIR) + "/libcudart.so.12"; }
inline std::string fake_cudart_no_error_name_path() {
    return std::string(RAVO_FAKE_CUDART_NO_ERROR_NAME_DIR) + "/libcudart.so.12";
}

// A fresh directory under the system temp folder, removed with everything in
// it when the fixture goes. Libraries loaded from it stay mapped (the loader
// then shows them as deleted), which the search must cope with anyway.
class TempDir {
public:
    TempDir() {
        const char* base = ::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ravo-pin-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = buf.data();
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);  // best effort: a leftover temp folder fails no test
    }

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

    // Creates `rel` (and its parents) holding `content`; returns its path.
    std::string file(const std::string& rel, const std::string& content = "x") const {
        const fs::path p = fs::path(path_) / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

    // Copies `source` to `rel` (parents created); returns the new path.
    std::string copy(const std::string& source, const std::string& rel) const {
        const fs::path p = fs::path(path_) / rel;
        fs::create_directories(p.parent_path());
        fs::copy_file(source, p, fs::copy_options::overwrite_existing);
        return p.string();
    }

    std::string dir(const std::string& rel) const {
        const fs::path p = fs::path(path_) / rel;
        fs::create_directories(p);
        return p.string();
    }

    // A symbolic link at `rel` pointing at `target`.
    std::string link(const std::string& target, const std::string& rel) const {
        const fs::path p = fs::path(path_) / rel;
        fs::create_directories(p.parent_path());
        fs::create_symlink(target, p);
        return p.string();
    }

private:
    std::string path_;
};

// The controls of one loaded copy of the stand-in (each file is its own copy
// with its own records). Opens the library if it is not loaded yet.
struct FakeCudart {
    void* handle = nullptr;
    fake_cudart_reset_fn reset = nullptr;
    fake_cudart_refuse_register_fn refuse_register = nullptr;
    fake_cudart_set_error_name_fn set_error_name = nullptr;
    fake_cudart_call_count_fn call_count = nullptr;
    fake_cudart_get_call_fn get_call = nullptr;
    fake_cudart_registered_count_fn registered_count = nullptr;

    explicit FakeCudart(const std::string& path) {
        handle = ::dlopen(path.c_str(), RTLD_NOW);
        if (handle == nullptr) throw std::runtime_error("cannot load the stand-in runtime " + path);
        reset = reinterpret_cast<fake_cudart_reset_fn>(::dlsym(handle, "fake_cudart_reset"));
        refuse_register = reinterpret_cast<fake_cudart_refuse_register_fn>(::dlsym(handle, "fake_cudart_refuse_register"));
        set_error_name = reinterpret_cast<fake_cudart_set_error_name_fn>(::dlsym(handle, "fake_cudart_set_error_name"));
        call_count = reinterpret_cast<fake_cudart_call_count_fn>(::dlsym(handle, "fake_cudart_call_count"));
        get_call = reinterpret_cast<fake_cudart_get_call_fn>(::dlsym(handle, "fake_cudart_get_call"));
        registered_count =
            reinterpret_cast<fake_cudart_registered_count_fn>(::dlsym(handle, "fake_cudart_registered_count"));
        if (!reset || !refuse_register || !set_error_name || !call_count || !get_call || !registered_count) {
            throw std::runtime_error("the stand-in runtime lacks its controls: " + path);
        }
        // Deliberately never closed, like every runtime the search opens.
    }

    // The controls of the copy whose entry points `api` holds (for tests that
    // go through the process-wide cell, which may hold any copy loaded first).
    static FakeCudart owning(const ravo::host_pinning::CudaApi& api) {
        Dl_info info{};
        if (::dladdr(reinterpret_cast<void*>(api.host_register), &info) == 0 || info.dli_fname == nullptr) {
            throw std::runtime_error("the entry points belong to no loaded library");
        }
        return FakeCudart(info.dli_fname);
    }

    void* sym(const char* name) const { return ::dlsym(handle, name); }

    std::vector<fake_cudart_call> calls() const {
        std::vector<fake_cudart_call> out(call_count());
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (get_call(i, &out[i]) != 0) out.resize(i);
        }
        return out;
    }
};

// In-process entry points that a scripted loader hands out.
inline std::int32_t inert_register(void*, std::size_t, std::uint32_t) { return 0; }
inline std::int32_t inert_unregister(void*) { return 0; }
inline const char* inert_error_name(std::int32_t) { return "cudaSuccess"; }
inline std::int32_t inert_free(void*) { return 0; }

// A dlopen/dlsym stand-in driven by a script: which names open (and which
// of the four symbols they lack), which fail and with what text. Every open
// is recorded with its mode. Names not in the script fail the way the
// system loader words a missing file.
class ScriptedLoader {
public:
    struct Open {
        std::string name;
        int mode;
        bool operator==(const Open&) const = default;
        friend void PrintTo(const Open& o, std::ostream* os) { *os << "{" << o.name << ", " << o.mode << "}"; }
    };

    // `name` opens (only in `mode` when given) and lacks the `missing` symbols.
    void library(const std::string& name, std::set<std::string> missing = {}, std::optional<int> mode = {}) {
        auto& lib = state_->libs[name];
        lib.missing = std::move(missing);
        lib.mode = mode;
    }
    // `name` fails with `error` (nothing: the loader gives no text).
    void fail(const std::string& name, std::optional<std::string> error) { state_->errors[name] = std::move(error); }

    const std::vector<Open>& opens() const { return state_->opens; }
    std::size_t sym_calls() const { return state_->sym_calls; }

    ravo::host_pinning::Loader loader() const {
        ravo::host_pinning::Loader l;
        auto state = state_;
        l.open = [state](const char* name, int mode) -> ravo::host_pinning::OpenResult {
            state->opens.push_back({name, mode});
            auto lib = state->libs.find(name);
            if (lib != state->libs.end() && (!lib->second.mode || *lib->second.mode == mode)) {
                return {&lib->second, std::nullopt};
            }
            auto err = state->errors.find(name);
            if (err != state->errors.end()) return {nullptr, err->second};
            return {nullptr, std::string(name) + ": cannot open shared object file: No such file or directory"};
        };
        l.sym = [state](void* handle, const char* name) -> void* {
            ++state->sym_calls;
            const auto* lib = static_cast<const Lib*>(handle);
            if (lib->missing.count(name) != 0) return nullptr;
            const std::string n = name;
            if (n == "cudaHostRegister") return reinterpret_cast<void*>(&inert_register);
            if (n == "cudaHostUnregister") return reinterpret_cast<void*>(&inert_unregister);
            if (n == "cudaGetErrorName") return reinterpret_cast<void*>(&inert_error_name);
            if (n == "cudaFree") return reinterpret_cast<void*>(&inert_free);
            return nullptr;
        };
        return l;
    }

private:
    struct Lib {
        std::set<std::string> missing;
        std::optional<int> mode;
    };
    struct State {
        std::map<std::string, Lib> libs;  // node-based: handles (Lib addresses) stay put
        std::map<std::string, std::optional<std::string>> errors;
        std::vector<Open> opens;
        std::size_t sym_calls = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A search configuration that touches nothing outside the process: the given
// maps text, roots and sonames, and the scripted loader.
inline ravo::host_pinning::SearchConfig scripted_config(const ScriptedLoader& loader, std::string maps,
                                                        std::vector<std::string> roots,
                                                        std::vector<std::string> sonames) {
    ravo::host_pinning::SearchConfig config;
    config.read_maps = [maps = std::move(maps)] { return maps; };
    config.wheel_roots = std::move(roots);
    config.sonames = std::move(sonames);
    config.loader = loader.loader();
    return config;
}

}  // namespace ravo::host_pinning::testing
