// Shared plumbing of the Python layer: exception conversion at every entry
// point, releasing the interpreter lock, and the lazily created type objects.
//
// Contract: every function exported to Python runs its body inside guarded(),
// so a C++ exception becomes a Python exception carrying its text, and one
// that cannot be converted ends the process with
// "uncaught panic at ffi boundary". Core errors arrive as ravo::Error values
// and are raised with raise_error(), which picks the exception type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "result.h"

namespace ravo::py {

// Sets the Python exception for a core error; always returns nullptr.
// ValueError for configuration, MemoryError for allocation, RuntimeError for
// wrong state and system failures.
PyObject* raise_error(const Error& err);

// Sets `type` with the whole of `text` (embedded NUL bytes included, which a
// C-string setter would cut off); always returns nullptr.
PyObject* raise_text(PyObject* type, const std::string& text);

[[noreturn]] inline void ffi_panic() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

template <typename R, typename F>
R guarded(R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return on_error;
    } catch (const std::exception& e) {
        try {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        } catch (...) {
            ffi_panic();
        }
        return on_error;
    } catch (...) {
        ffi_panic();
    }
}

// Releases the interpreter lock for its lifetime; restores it on every exit
// path, exceptions included, before any Python error is set.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { restore(); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    void restore() noexcept {
        if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
            state_ = nullptr;
        }
    }
    void release() noexcept {
        if (state_ == nullptr) state_ = PyEval_SaveThread();
    }

private:
    PyThreadState* state_;
};

// Type objects, created on first use and kept for the life of the process.
// Each returns a borrowed reference, or nullptr with the Python error set.
PyTypeObject* server_type();
PyTypeObject* tcp_transport_type();
PyTypeObject* sample_info_type();
PyTypeObject* hist_snapshot_type();
PyTypeObject* batch_memory_type();

}  // namespace ravo::py
