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

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>
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

// Not noexcept: a thread that takes the interpreter lock back while the
// interpreter is finalizing is ended by the interpreter with a forced unwind,
// which must pass through untouched. The unwind is recognised inside the
// catch-all rather than by a handler for abi::__forced_unwind: the runtime
// binds that handler's reference to a null object (the unwind is a foreign
// exception with no C++ object behind it), which UBSan rightly reports.
// std::current_exception() is empty exactly for such foreign exceptions.
template <typename R, typename F>
R guarded(R on_error, F&& body) {
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
        if (!std::current_exception()) throw;  // the forced unwind, rethrown as it must be
        ffi_panic();
    }
}

// True once the interpreter has begun finalizing.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Releases the interpreter lock for its lifetime; restores it on every exit
// path, exceptions included, before any Python error is set.
//
// A daemon thread that comes back from a wait after the interpreter began
// finalizing must not take the lock: the interpreter would end the thread in
// the middle of our frames. It waits for the process to exit instead. In the
// narrow race where finalization starts during the restore itself, the
// interpreter's forced unwind passes through (nothing here is noexcept, and
// the state is cleared first so the destructor does not restore twice).
//
// The finalizing thread itself (a `__del__` or `finally:` that runs during
// the interpreter's teardown and calls sample() or submit()) must take the
// lock back, or the process never exits. It is recognised by the release:
// once finalization has begun, no other thread ever holds the lock, so a
// thread that releases it while the interpreter is already finalizing is the
// one finalizing it.
class GilRelease {
public:
    GilRelease() noexcept : finalizing_thread_(interpreter_finalizing()), state_(PyEval_SaveThread()) {}
    ~GilRelease() noexcept(false) { restore(); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    void restore() {
        if (state_ == nullptr) return;
        PyThreadState* state = std::exchange(state_, nullptr);
        while (!finalizing_thread_ && interpreter_finalizing()) std::this_thread::sleep_for(std::chrono::seconds(1));
        PyEval_RestoreThread(state);
    }
    void release() noexcept {
        if (state_ != nullptr) return;
        finalizing_thread_ = interpreter_finalizing();
        state_ = PyEval_SaveThread();
    }

private:
    bool finalizing_thread_;  // the lock was released while the interpreter was finalizing
    PyThreadState* state_;
};

// Owns one strong reference (or none) and drops it on every exit path,
// exceptions included.
class OwnedRef {
public:
    explicit OwnedRef(PyObject* owned) noexcept : obj_(owned) {}
    ~OwnedRef() { Py_XDECREF(obj_); }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    PyObject* get() const noexcept { return obj_; }

private:
    PyObject* obj_;
};

// Type objects, created on first use and kept for the life of the process.
// Each returns a borrowed reference, or nullptr with the Python error set.
PyTypeObject* server_type();
PyTypeObject* tcp_transport_type();
PyTypeObject* sample_info_type();
PyTypeObject* hist_snapshot_type();
PyTypeObject* batch_memory_type();

}  // namespace ravo::py
