// `_Server`: construction, control calls and sample(); see server.h.
#include "server.h"

#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "batch_views.h"
#include "convert.h"
#include "fork_guard.h"
#include "sample_info.h"
#include "host_pinning/register.h"
#include "selector.h"
#include "tcp_transport.h"
#include "transport/tcp/handshake.h"
#include "transport/tcp/tcp_transport.h"

namespace ravo::py {

namespace {

using namespace std::chrono_literals;

// How long a blocking call waits with the interpreter lock released before it
// takes the lock back to let pending signals (Ctrl-C) run.
constexpr auto kSignalSlice = 100ms;

const char kNoTransport[] = "no transport configured; pass TcpTransport to __init__";
// A submit that finds the ring full after shutdown.
const char kShutDown[] = "server is shut down";

PyServer* as_server(PyObject* self) { return reinterpret_cast<PyServer*>(self); }

// ---- construction ---------------------------------------------------------

// The directories of the CUDA vendor's Python package (`nvidia.__path__`), in
// order: the places its runtime wheels install libcudart. Entries that fail to
// iterate or do not convert to a str path are skipped; a missing or broken
// package gives no roots, and its error is discarded (it is never reported).
std::vector<std::string> cuda_vendor_roots() {
    std::vector<std::string> roots;
    PyObject* module = PyImport_ImportModule("nvidia");  // new reference
    if (module == nullptr) {
        PyErr_Clear();
        return roots;
    }
    PyObject* path = PyObject_GetAttrString(module, "__path__");  // new reference
    Py_DECREF(module);
    if (path == nullptr) {
        PyErr_Clear();
        return roots;
    }
    PyObject* iter = PyObject_GetIter(path);  // new reference
    Py_DECREF(path);
    if (iter == nullptr) {
        PyErr_Clear();
        return roots;
    }
    // An entry whose iteration raises is skipped and the iteration goes on;
    // an iterator that does nothing but raise is abandoned after a bounded
    // run of failures, so construction cannot spin on it.
    constexpr int kMaxFailuresInARow = 64;
    int failures_in_a_row = 0;
    for (;;) {
        PyObject* entry = PyIter_Next(iter);  // new reference
        if (entry == nullptr) {
            if (!PyErr_Occurred()) break;  // end of iteration
            PyErr_Clear();
            if (++failures_in_a_row == kMaxFailuresInARow) break;
            continue;
        }
        failures_in_a_row = 0;
        PyObject* fs = PyOS_FSPath(entry);  // new reference
        Py_DECREF(entry);
        if (fs == nullptr || !PyUnicode_Check(fs)) {
            PyErr_Clear();
            Py_XDECREF(fs);
            continue;
        }
        PyObject* encoded = PyUnicode_EncodeFSDefault(fs);  // new reference
        Py_DECREF(fs);
        if (encoded == nullptr) {
            PyErr_Clear();
            continue;
        }
        roots.emplace_back(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
    }
    Py_DECREF(iter);
    return roots;
}

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"shapes",       "dtype_sizes",         "batch_size",      "transport",
                                       "num_buffers",  "num_drainers",        "producer_queue_size",
                                       "pin_host_memory", nullptr};
        PyObject *o_shapes, *o_dtypes, *o_batch, *o_transport = Py_None, *o_num_buffers = nullptr,
                                                 *o_num_drainers = nullptr, *o_queue = nullptr, *o_pin = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OOOOO:_Server", const_cast<char**>(kwlist), &o_shapes,
                                         &o_dtypes, &o_batch, &o_transport, &o_num_buffers, &o_num_drainers,
                                         &o_queue, &o_pin)) {
            return nullptr;
        }
        std::vector<std::vector<std::uint64_t>> shapes;
        std::vector<std::uint64_t> dtype_sizes;
        std::uint64_t batch_size = 0, num_buffers = 3, num_drainers = 8, queue_size = 8;
        bool pin = false;
        if (!to_u64_list_list(o_shapes, "shapes", &shapes)) return nullptr;
        if (!to_u64_list(o_dtypes, "dtype_sizes", &dtype_sizes)) return nullptr;
        if (!to_u64(o_batch, "batch_size", &batch_size)) return nullptr;
        if (o_num_buffers && !to_u64(o_num_buffers, "num_buffers", &num_buffers)) return nullptr;
        if (o_num_drainers && !to_u64(o_num_drainers, "num_drainers", &num_drainers)) return nullptr;
        if (o_queue && !to_u64(o_queue, "producer_queue_size", &queue_size)) return nullptr;
        if (o_pin && !to_bool_strict(o_pin, "pin_host_memory", &pin)) return nullptr;

        if (shapes.size() != dtype_sizes.size()) {
            PyErr_SetString(PyExc_ValueError, "shapes and dtype_sizes must have same length");
            return nullptr;
        }
        if (batch_size == 0) {
            PyErr_SetString(PyExc_ValueError, "batch_size must be > 0");
            return nullptr;
        }
        std::vector<ArraySpec> specs;
        specs.reserve(shapes.size());
        for (std::size_t i = 0; i < shapes.size(); ++i) specs.push_back(ArraySpec{std::move(shapes[i]), dtype_sizes[i]});
        // The selector's and the store's checks, in the order they run below,
        // before the metrics, the selector's counters or the ring are
        // allocated: an absurd num_buffers or num_drainers must not fail on
        // memory (or take seconds) when another argument is what is wrong.
        if (Status st = FifoSampler::check(batch_size, batch_size * num_buffers); !st) return raise_error(st.error());
        if (Status st = Store::check(specs, batch_size, num_buffers); !st) return raise_error(st.error());

        std::shared_ptr<Metrics> metrics;
        try {
            metrics = Metrics::create(static_cast<std::size_t>(num_drainers));
        } catch (const std::bad_alloc&) {  // bad_array_new_length included: an absurd num_drainers
            PyErr_Format(PyExc_MemoryError, "cannot allocate the metrics of %llu drainers (%zu bytes each)",
                         static_cast<unsigned long long>(num_drainers), sizeof(DrainerMetrics));
            return nullptr;
        }
        auto sampler = FifoSampler::with_metrics(batch_size, batch_size * num_buffers, metrics);
        if (!sampler) return raise_error(sampler.error());
        auto store = Store::create(std::move(specs), batch_size, num_buffers, std::move(sampler).value(),
                                   std::make_unique<FifoRemover>(), pin);
        if (!store) return raise_error(store.error());

        if (pin) {
            std::vector<std::string> roots = cuda_vendor_roots();
            std::optional<host_pinning::PinError> err;
            {
                GilRelease nogil;
                err = store.value()->ring().pin_host_memory(roots);
            }
            if (err) {
                return raise_text(PyExc_RuntimeError, err->to_string());  // the store goes; nothing stays registered
            }
        }

        std::shared_ptr<Store> shared_store(std::move(store).value());
        std::shared_ptr<DrainerPool> pool;
        std::unique_ptr<transport::Transport> tcp;
        if (o_transport != Py_None) {
            auto built = DrainerPool::create(shared_store, static_cast<std::size_t>(num_drainers),
                                             static_cast<std::size_t>(queue_size), metrics);
            if (!built) return raise_error(built.error());
            pool = std::move(built).value();
            PyTypeObject* tcp_type = tcp_transport_type();
            if (tcp_type == nullptr) return nullptr;
            if (!PyObject_TypeCheck(o_transport, tcp_type)) {
                PyErr_SetString(PyExc_ValueError, "transport must be TcpTransport");
                return nullptr;
            }
            const auto* cfg = reinterpret_cast<const PyTcpTransport*>(o_transport);
            const std::vector<ArraySpec>& layout = shared_store->specs();
            if (sample_size(layout) == 0) {
                PyErr_SetString(PyExc_ValueError,
                                "every leaf has 0 bytes: a producer could never send a sample over the transport");
                return nullptr;
            }
            if (Status fits = transport::tcp::check_handshake_fits(layout); !fits) return raise_error(fits.error());
            tcp = std::make_unique<transport::tcp::TcpTransport>(layout, pool, cfg->num_threads, cfg->port);
        }

        PyObject* self = type->tp_alloc(type, 0);  // new reference
        if (self == nullptr) return nullptr;
        PyServer* srv = as_server(self);
        new (&srv->store) std::shared_ptr<Store>(std::move(shared_store));
        new (&srv->metrics) std::shared_ptr<Metrics>(std::move(metrics));
        new (&srv->drainer_pool) std::shared_ptr<DrainerPool>(std::move(pool));
        new (&srv->transport) std::unique_ptr<transport::Transport>(std::move(tcp));
        new (&srv->sampling) std::atomic<bool>(false);
        srv->sampling_thread = 0;
        srv->generation = process_generation();
        return self;
    });
}

void server_dealloc(PyObject* self) {
    PyServer* srv = as_server(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (inherited_through_fork(srv->generation)) {
        // A forked child's copy: its threads, connections and pinned
        // registrations are the parent's, and tearing them down here would
        // join threads that do not exist in this process. The members are
        // left as they are; the child's memory goes when it exits.
        tp->tp_free(self);
        Py_DECREF(tp);  // heap types are referenced by their instances
        return;
    }
    // Members go in the order store, drainer pool, transport, metrics; each
    // component is destroyed when its last share goes.
    srv->store.reset();
    srv->drainer_pool.reset();
    srv->transport.reset();
    srv->metrics.reset();
    srv->store.~shared_ptr<Store>();
    srv->drainer_pool.~shared_ptr<DrainerPool>();
    srv->transport.~unique_ptr<transport::Transport>();
    srv->metrics.~shared_ptr<Metrics>();
    srv->sampling.~atomic<bool>();
    tp->tp_free(self);
    Py_DECREF(tp);  // heap types are referenced by their instances
}

// ---- control calls --------------------------------------------------------

PyObject* server_start(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyServer* srv = as_server(self);
        // The configuration's verdict first: it is the same in every process.
        if (!srv->transport) {
            PyErr_SetString(PyExc_RuntimeError, kNoTransport);
            return nullptr;
        }
        if (inherited_through_fork(srv->generation)) {
            PyErr_SetString(PyExc_RuntimeError, kForkedChildText);
            return nullptr;
        }
        // After shutdown the drainers are gone: a transport started again
        // would acknowledge samples that nobody will ever deliver.
        if (srv->store->is_shut_down()) {
            PyErr_SetString(PyExc_RuntimeError, "failed to start transport: server is shut down");
            return nullptr;
        }
        Status st = srv->transport->start();
        if (!st) {
            return raise_text(PyExc_RuntimeError, "failed to start transport: " + st.error().message);
        }
        Py_RETURN_NONE;
    });
}

PyObject* server_get_port(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyServer* srv = as_server(self);
        if (!srv->transport) {
            PyErr_SetString(PyExc_RuntimeError, kNoTransport);
            return nullptr;
        }
        std::optional<std::uint16_t> port = srv->transport->port();
        if (!port) {
            PyErr_SetString(PyExc_RuntimeError, "transport not started; call start() first");
            return nullptr;
        }
        return PyLong_FromUnsignedLong(*port);  // new reference
    });
}

PyObject* server_shutdown(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyServer* srv = as_server(self);
        // In a forked child there is nothing of this server to stop: its
        // threads and connections live in the parent (an atexit handler the
        // child inherited may well call this).
        if (inherited_through_fork(srv->generation)) Py_RETURN_NONE;
        if (srv->transport) srv->transport->shutdown();
        if (srv->drainer_pool) srv->drainer_pool->shutdown();
        srv->store->shutdown();
        Py_RETURN_NONE;
    });
}

PyObject* server_reset_histograms(PyObject*, PyObject*) {
    // Timing histograms are not recorded by this build; nothing to reset.
    Py_RETURN_NONE;
}

// ---- submit ---------------------------------------------------------------

// One leaf of a submitted sample: an exported buffer (bytes, bytearray, 1-D
// contiguous unsigned bytes) or bytes converted from a sequence of ints.
// A `bytes` object is read while the interpreter lock is released: it cannot
// change. Any other buffer is read while the lock is held, so the sample is
// the caller's data as it was at the call: straight into the slot when the
// ring has room, else into a scratch copy (see SubmitScratch) that the call
// then waits with, so the caller's object is not held exported (unresizable)
// while the call waits for room. One exception: a large sample whose mutable
// items are all NumPy arrays is copied into a free slot with the lock
// released, as NumPy's own copies are, so that threads submitting arrays copy
// in parallel. The export keeps each array's memory in place for the copy,
// and an array cannot be resized while referenced anyway; only a write to
// the same array from another thread during the call could show in the
// sample, the race any NumPy copy has.
struct SubmitItem {
    Py_buffer view{};
    bool has_view = false;
    bool copy_now = false;  // a buffer other than bytes: copied under the lock
    bool numpy = false;     // copy_now, but a NumPy array (see above)
    std::vector<std::uint8_t> owned;
    ByteSpan copied{};  // where the copy_now bytes went

    ByteSpan span() const {
        if (has_view) return ByteSpan{static_cast<const std::uint8_t*>(view.buf), static_cast<std::uint64_t>(view.len)};
        if (copy_now) return copied;  // copied and released
        return ByteSpan{owned.data(), owned.size()};
    }
    void release() {
        if (has_view) {
            PyBuffer_Release(&view);
            has_view = false;
        }
    }
};

bool is_unsigned_byte_format(const char* fmt) {
    return fmt == nullptr || std::strcmp(fmt, "B") == 0 || std::strcmp(fmt, "=B") == 0 ||
           std::strcmp(fmt, "<B") == 0 || std::strcmp(fmt, ">B") == 0 || std::strcmp(fmt, "@B") == 0;
}

bool convert_item(PyObject* obj, SubmitItem& item) {
    if (PyUnicode_Check(obj)) {
        set_argument_type_error("data", "Can't extract `str` to `Vec`");
        return false;
    }
    if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        if (PyObject_GetBuffer(obj, &item.view, PyBUF_SIMPLE) < 0) return false;
        item.has_view = true;
        item.copy_now = !PyBytes_Check(obj);
        return true;
    }
    // Only a sequence may be an item: a buffer-only object (a PickleBuffer)
    // goes to the sequence conversion below and is refused there.
    if (PyObject_CheckBuffer(obj) && PySequence_Check(obj)) {
        if (PyObject_GetBuffer(obj, &item.view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            if (item.view.ndim == 1 && item.view.itemsize == 1 && is_unsigned_byte_format(item.view.format)) {
                item.has_view = true;
                item.copy_now = true;
                item.numpy = is_numpy_array(obj);
                return true;
            }
            PyBuffer_Release(&item.view);
        } else {
            PyErr_Clear();  // not contiguous: fall back to the sequence form
        }
    }
    OwnedRef snapshot(sequence_snapshot(obj, "data"));  // new reference, owned
    if (snapshot.get() == nullptr) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(snapshot.get());
    item.owned.resize(static_cast<std::size_t>(n));  // bad_alloc: guarded() raises MemoryError
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* index = PyNumber_Index(PyTuple_GET_ITEM(snapshot.get(), i));  // new reference; item borrowed
        if (index == nullptr) {
            name_pending_type_error("data");
            return false;
        }
        const long v = PyLong_AsLong(index);
        Py_DECREF(index);
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        item.owned[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    }
    return true;
}

// Up to this many leaves, the per-call bookkeeping lives on the stack, so a
// steady stream of submits allocates nothing but what the caller converts.
constexpr std::size_t kInlineLeaves = 8;

// The copies of a call's mutable buffers, in one per-thread block that is
// reused, so a steady stream of submits allocates nothing for them. A call
// takes the block for its whole duration and puts it back at the end: a
// nested call on the same thread (a signal handler run between waits) finds
// none and uses its own, never the block the outer call's spans point into.
// Blocks above kKeepScratchBytes are not kept, so one huge sample does not
// pin its size for the thread's lifetime.
constexpr std::size_t kKeepScratchBytes = std::size_t{64} << 20;

// Up to this many bytes a sample is copied into a free slot without
// releasing the interpreter lock (a few hundred nanoseconds of copying).
constexpr std::uint64_t kCopyUnderLockBytes = 16 * 1024;
thread_local std::vector<std::uint8_t> t_submit_scratch;

class SubmitScratch {
public:
    SubmitScratch() noexcept : buf_(std::move(t_submit_scratch)) {}
    ~SubmitScratch() {
        if (buf_.size() <= kKeepScratchBytes && buf_.size() > t_submit_scratch.size()) {
            t_submit_scratch = std::move(buf_);
        }
    }
    SubmitScratch(const SubmitScratch&) = delete;
    SubmitScratch& operator=(const SubmitScratch&) = delete;

    // At least `bytes` of room; may throw std::bad_alloc (guarded() turns it
    // into MemoryError before anything was reserved).
    std::uint8_t* reserve(std::size_t bytes) {
        if (buf_.size() < bytes) buf_.resize(bytes);
        return buf_.data();
    }

private:
    std::vector<std::uint8_t> buf_;
};

// True for a tuple, and for a list whose items are all exact bytes or
// bytearray objects: exporting their buffers runs no Python code, so the
// sequence cannot change while it is read.
bool in_place_readable(PyObject* data) {
    if (PyTuple_CheckExact(data)) return true;
    if (!PyList_CheckExact(data)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        PyObject* item = PyList_GET_ITEM(data, i);  // borrowed
        if (!PyBytes_CheckExact(item) && !PyByteArray_CheckExact(item)) return false;
    }
    return true;
}

PyObject* server_submit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"data", nullptr};
        PyObject* data = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:submit", const_cast<char**>(kwlist), &data)) return nullptr;
        if (inherited_through_fork(as_server(self)->generation)) {
            PyErr_SetString(PyExc_RuntimeError, kForkedChildText);
            return nullptr;
        }
        // The items are read from a snapshot, not from the caller's list:
        // converting an item may run Python code (__index__, a buffer
        // export) that changes the list. A tuple, or a list of exact bytes
        // or bytearray objects, cannot change that way, so it is read in
        // place and the common call copies nothing.
        OwnedRef held(in_place_readable(data) ? (Py_INCREF(data), data)
                                              : sequence_snapshot(data, "data"));  // new reference, owned
        if (held.get() == nullptr) return nullptr;
        PyObject* const* elems = PySequence_Fast_ITEMS(held.get());  // borrowed, alive while `held` is
        std::shared_ptr<Store> store = as_server(self)->store;
        const PytreeRingBuf& ring = store->ring();
        const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(held.get()));
        // Records for the items a sample can hold; a call with more items is
        // refused below, so those are converted (their conversion errors come
        // first) one at a time and let go, and a flat list of millions of
        // ints passed by mistake costs no per-item record.
        const std::size_t kept = std::min(n, ring.num_leaves());

        std::array<SubmitItem, kInlineLeaves> inline_items;
        std::vector<SubmitItem> heap_items;
        SubmitItem* items = inline_items.data();
        if (kept > kInlineLeaves) {
            heap_items.resize(kept);
            items = heap_items.data();
        }
        std::array<ByteSpan, kInlineLeaves> inline_spans;
        std::vector<ByteSpan> heap_spans;
        ByteSpan* spans = inline_spans.data();
        if (kept > kInlineLeaves) {
            heap_spans.resize(kept);
            spans = heap_spans.data();
        }
        struct Cleanup {
            SubmitItem* items;
            std::size_t n;
            ~Cleanup() {
                for (std::size_t i = 0; i < n; ++i) items[i].release();
            }
        } cleanup{items, kept};

        for (std::size_t i = 0; i < kept; ++i) {
            if (!convert_item(elems[i], items[i])) return nullptr;
        }
        for (std::size_t i = kept; i < n; ++i) {
            SubmitItem extra;
            const bool converted = convert_item(elems[i], extra);
            extra.release();
            if (!converted) return nullptr;
        }
        // Nothing outside the reserved slot may be written: refuse before
        // any position is reserved.
        if (n > kept) {
            PyErr_Format(PyExc_ValueError, "data has %zu items but the server has %zu leaves", n, ring.num_leaves());
            return nullptr;
        }
        for (std::size_t i = 0; i < n; ++i) {
            spans[i] = items[i].span();
            if (spans[i].len > ring.slot_bytes(i)) {
                PyErr_Format(PyExc_ValueError, "data[%zu] has %llu bytes but leaf %zu holds %llu bytes per sample", i,
                             static_cast<unsigned long long>(spans[i].len), i,
                             static_cast<unsigned long long>(ring.slot_bytes(i)));
                return nullptr;
            }
        }
        // Mutable buffers are read while the lock is held: straight into
        // the slot when there is room now (one copy), else copied aside
        // and let go before the call waits. A small sample goes straight in
        // under the lock too, whatever its items: releasing and taking back
        // the lock costs more than its copy.
        std::size_t to_copy = 0;
        std::uint64_t total = 0;
        bool any_mutable = false;
        bool only_numpy = true;  // every mutable item is a NumPy array
        for (std::size_t i = 0; i < n; ++i) {
            total += spans[i].len;  // each at most its leaf's size, so no overflow
            if (!items[i].copy_now) continue;
            any_mutable = true;
            only_numpy = only_numpy && items[i].numpy;
            to_copy += static_cast<std::size_t>(spans[i].len);
        }
        if (any_mutable || total <= kCopyUnderLockBytes) {
            const bool copy_unlocked = only_numpy && total > kCopyUnderLockBytes;
            InsertOutcome now;
            if (copy_unlocked) {
                GilRelease nogil;
                now = store->try_insert(std::span<const ByteSpan>(spans, n));
            } else {
                now = store->try_insert(std::span<const ByteSpan>(spans, n));
            }
            if (now == InsertOutcome::Inserted) {
                // After a long copy, let waiting threads (the consumer, other
                // producers) have the lock before this thread runs on; it
                // would otherwise keep it for a whole switch interval.
                if (total > kCopyUnderLockBytes && !copy_unlocked) GilRelease yield_lock;
                Py_RETURN_NONE;
            }
            if (now == InsertOutcome::ShutDown) {
                PyErr_SetString(PyExc_RuntimeError, kShutDown);
                return nullptr;
            }
        }
        SubmitScratch scratch;
        if (to_copy > 0) {
            std::uint8_t* out = scratch.reserve(to_copy);
            for (std::size_t i = 0; i < n; ++i) {
                if (!items[i].copy_now) continue;
                const std::size_t len = static_cast<std::size_t>(spans[i].len);
                if (len > 0) std::memcpy(out, spans[i].data, len);
                items[i].copied = ByteSpan{out, spans[i].len};
                spans[i] = items[i].copied;
                items[i].release();
                out += len;
            }
        }
        const std::span<const ByteSpan> arrays(spans, n);
        InsertOutcome outcome;
        {
            GilRelease nogil;
            for (;;) {
                outcome = store->insert_sync_until(arrays, std::chrono::steady_clock::now() + kSignalSlice);
                if (outcome != InsertOutcome::TimedOut) break;
                nogil.restore();
                if (PyErr_CheckSignals() < 0) return nullptr;  // nothing was reserved
                nogil.release();
            }
        }
        if (outcome == InsertOutcome::ShutDown) {
            PyErr_SetString(PyExc_RuntimeError, kShutDown);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// ---- sample ---------------------------------------------------------------

PyObject* server_sample(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyServer* srv = as_server(self);
        if (inherited_through_fork(srv->generation)) {
            PyErr_SetString(PyExc_RuntimeError, kForkedChildText);
            return nullptr;
        }
        // acquire pairs with the release below in the previous consumer, so
        // a consumer moving between threads sees the store's consumer state.
        const unsigned long me = PyThread_get_thread_ident();
        if (srv->sampling.exchange(true, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError, srv->sampling_thread == me
                                                    ? "sample() is already in progress on this thread"
                                                    : "sample() is already in progress in another thread");
            return nullptr;
        }
        srv->sampling_thread = me;
        struct Exit {
            std::atomic<bool>& flag;
            ~Exit() { flag.store(false, std::memory_order_release); }
        } exit_guard{srv->sampling};

        std::shared_ptr<Store> store = srv->store;
        ConsumerView view;
        SelectWait res;
        {
            GilRelease nogil;
            store->give_back();  // once, before the first slice
            for (;;) {
                res = store->select_for(kSignalSlice, view);
                if (res != SelectWait::TimedOut) break;
                nogil.restore();
                if (PyErr_CheckSignals() < 0) return nullptr;  // nothing was selected
                nogil.release();
            }
        }
        if (res == SelectWait::ShutDown) Py_RETURN_NONE;

        PyObject* arrays = make_batch_arrays(view, store);  // new reference
        if (arrays == nullptr) return nullptr;  // the batch stays out; the next call gives it back

        InfoRecord rec;
        rec.store_size = static_cast<std::size_t>(store->queue_size());
        const MetricsSnapshot m = srv->metrics->snapshot();
        rec.active_connections = m.active_connections;
        rec.queue_depth_sum = m.queue_depth_sum;
        rec.queue_depth_max = m.queue_depth_max;
        rec.push_blocked_count = m.push_blocked_count;
        rec.samples_inserted_total = m.samples_inserted_total;
        // The batch in hand is complete even when its completing writer has
        // not yet counted it, so the count never reads below the batches
        // handed out.
        rec.notify_count = std::max(m.notify_count, store->batches_handed_out());
        PyObject* info = new_sample_info(rec);  // new reference
        if (info == nullptr) {
            Py_DECREF(arrays);
            return nullptr;
        }
        PyObject* tuple = PyTuple_New(2);  // new reference
        if (tuple == nullptr) {
            Py_DECREF(arrays);
            Py_DECREF(info);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, 0, arrays);  // steals
        PyTuple_SET_ITEM(tuple, 1, info);    // steals
        return tuple;
    });
}

// ---- type -----------------------------------------------------------------

const char kServerDoc[] =
    "_Server(shapes, dtype_sizes, batch_size, transport=None, num_buffers=3, num_drainers=8, "
    "producer_queue_size=8, pin_host_memory=False)\n--\n\n";

const char kStartDoc[] = "start($self)\n--\n\nStart the transport (bind port, begin accepting connections).";
const char kPortDoc[] = "The port the transport is listening on, once started.";
const char kSampleDoc[] =
    "sample($self)\n--\n\nBlock until a batch is ready.\n\nReturns `(arrays, info)` where `arrays` is a list of "
    "uint8 numpy views\ninto server-owned memory (invalidated on the next `sample` call), and\n`info` is a "
    "`SampleInfo` snapshot of backpressure metrics. Returns None\non shutdown.";
const char kSubmitDoc[] =
    "submit($self, data)\n--\n\nSubmit raw bytes for a sample (for in-process use / testing / benchmarking).\n"
    "Releases the GIL so multiple Python threads can submit concurrently.";
const char kResetDoc[] =
    "reset_histograms($self)\n--\n\nReset the per-drainer timing histograms (memcpy, drain_round,\nqueue_dwell). "
    "Counters and gauges are unchanged. Call at the boundary\nof a metrics window so the next `SampleInfo` reflects "
    "only events\nrecorded after this call.";
const char kShutdownDoc[] =
    "shutdown($self)\n--\n\nSignal shutdown: stops transport, drainer pool, then unblocks sample.";

PyMethodDef server_methods[] = {
    {"start", server_start, METH_NOARGS, kStartDoc},
    {"sample", server_sample, METH_NOARGS, kSampleDoc},
    {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(server_submit)),
     METH_VARARGS | METH_KEYWORDS, kSubmitDoc},
    {"reset_histograms", server_reset_histograms, METH_NOARGS, kResetDoc},
    {"shutdown", server_shutdown, METH_NOARGS, kShutdownDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef server_getset[] = {
    {"port", server_get_port, nullptr, kPortDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot server_slots[] = {
    {Py_tp_doc, const_cast<char*>(kServerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_methods, server_methods},
    {Py_tp_getset, server_getset},
    {0, nullptr},
};

PyType_Spec server_spec = {"ravo._Server", sizeof(PyServer), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                           server_slots};

PyTypeObject* cached_server_type = nullptr;  // strong reference for the process's life

// The type dict lists methods before properties and the type's own dunder
// entries after both; re-insert the public members so the class exposes
// start, port, sample, submit, reset_histograms, shutdown in that order.
bool order_members(PyTypeObject* tp) {
    static const char* order[] = {"start", "port", "sample", "submit", "reset_histograms", "shutdown"};
    PyObject* dict = tp->tp_dict;  // borrowed
    for (const char* name : order) {
        PyObject* value = PyDict_GetItemString(dict, name);  // borrowed
        if (value == nullptr) continue;
        Py_INCREF(value);
        const bool ok = PyDict_DelItemString(dict, name) == 0 && PyDict_SetItemString(dict, name, value) == 0;
        Py_DECREF(value);
        if (!ok) return false;
    }
    PyType_Modified(tp);
    return true;
}

}  // namespace

PyTypeObject* server_type() {
    if (cached_server_type == nullptr) {
        auto* tp = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&server_spec));  // new reference
        if (tp == nullptr) return nullptr;
        if (!order_members(tp)) {
            Py_DECREF(tp);
            return nullptr;
        }
        cached_server_type = tp;
    }
    return cached_server_type;
}

}  // namespace ravo::py
