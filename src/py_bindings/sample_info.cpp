// SampleInfo and HistSnapshot types; see sample_info.h.
#include "sample_info.h"

#include <cstddef>
#include <cstring>
#include <new>

namespace ravo::py {

namespace {

struct PySampleInfo {
    PyObject_HEAD
    InfoRecord rec;
};

struct PyHistSnapshot {
    PyObject_HEAD
    HistRecord rec;
};

// Integer attributes are read through a byte offset into the record, passed
// as the getter's closure; each field's width is fixed by its table.
template <typename Obj, typename Field>
PyObject* get_unsigned(PyObject* self, void* closure) {
    const auto offset = reinterpret_cast<std::uintptr_t>(closure);
    const auto* base = reinterpret_cast<const char*>(&reinterpret_cast<Obj*>(self)->rec);
    Field v;
    std::memcpy(&v, base + offset, sizeof v);
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));  // new reference
}

PyObject* hist_mean(PyObject* self, void*) {
    return PyFloat_FromDouble(reinterpret_cast<PyHistSnapshot*>(self)->rec.mean_ns);  // new reference
}

PyObject* new_hist(const HistRecord& rec) {
    PyTypeObject* tp = hist_snapshot_type();
    if (tp == nullptr) return nullptr;
    auto* obj = PyObject_New(PyHistSnapshot, tp);  // new reference
    if (obj == nullptr) return nullptr;
    obj->rec = rec;
    return reinterpret_cast<PyObject*>(obj);
}

// Reading the same histogram twice gives two objects that compare equal:
// equality is by value, over all seven fields; only == and != are defined,
// and against any other type the other operand decides.
PyObject* hist_richcompare(PyObject* a, PyObject* b, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    if (Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;  // a is always a HistSnapshot here
    const HistRecord& x = reinterpret_cast<PyHistSnapshot*>(a)->rec;
    const HistRecord& y = reinterpret_cast<PyHistSnapshot*>(b)->rec;
    const bool equal = x.count == y.count && x.min_ns == y.min_ns && x.max_ns == y.max_ns &&
                       x.mean_ns == y.mean_ns && x.p50_ns == y.p50_ns && x.p90_ns == y.p90_ns &&
                       x.p99_ns == y.p99_ns;
    return PyBool_FromLong((op == Py_EQ) == equal);  // new reference
}

// Consistent with equality: the hash of the tuple of the seven values.
Py_hash_t hist_hash(PyObject* self) {
    const HistRecord& r = reinterpret_cast<PyHistSnapshot*>(self)->rec;
    PyObject* values = Py_BuildValue("(KKKdKKK)", static_cast<unsigned long long>(r.count),
                                     static_cast<unsigned long long>(r.min_ns), static_cast<unsigned long long>(r.max_ns),
                                     r.mean_ns, static_cast<unsigned long long>(r.p50_ns),
                                     static_cast<unsigned long long>(r.p90_ns),
                                     static_cast<unsigned long long>(r.p99_ns));  // new reference
    if (values == nullptr) return -1;
    const Py_hash_t h = PyObject_Hash(values);
    Py_DECREF(values);
    return h;
}

template <HistRecord InfoRecord::*Member>
PyObject* info_hist(PyObject* self, void*) {
    return new_hist(reinterpret_cast<PySampleInfo*>(self)->rec.*Member);
}

// Every attribute's docstring is the empty string (a null doc would read as
// None).
constexpr const char* kNoDoc = "";

#define RAVO_INFO_U(field, type)                                                             \
    {#field, get_unsigned<PySampleInfo, type>, nullptr, kNoDoc,                             \
     reinterpret_cast<void*>(static_cast<std::uintptr_t>(offsetof(InfoRecord, field)))}
#define RAVO_HIST_U(field)                                                                   \
    {#field, get_unsigned<PyHistSnapshot, std::uint64_t>, nullptr, kNoDoc,                  \
     reinterpret_cast<void*>(static_cast<std::uintptr_t>(offsetof(HistRecord, field)))}

PyGetSetDef info_getset[] = {
    RAVO_INFO_U(store_size, std::size_t),
    RAVO_INFO_U(active_connections, std::size_t),
    RAVO_INFO_U(queue_depth_sum, std::size_t),
    RAVO_INFO_U(queue_depth_max, std::size_t),
    RAVO_INFO_U(push_blocked_count, std::uint64_t),
    RAVO_INFO_U(samples_inserted_total, std::uint64_t),
    RAVO_INFO_U(notify_count, std::uint64_t),
    RAVO_INFO_U(cas_success_total, std::uint64_t),
    RAVO_INFO_U(cas_failure_total, std::uint64_t),
    RAVO_INFO_U(reservation_retries_total, std::uint64_t),
    {"drain_round", info_hist<&InfoRecord::drain_round>, nullptr, kNoDoc, nullptr},
    {"memcpy", info_hist<&InfoRecord::memcpy>, nullptr, kNoDoc, nullptr},
    {"queue_dwell", info_hist<&InfoRecord::queue_dwell>, nullptr, kNoDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef hist_getset[] = {
    RAVO_HIST_U(count),
    RAVO_HIST_U(min_ns),
    RAVO_HIST_U(max_ns),
    {"mean_ns", hist_mean, nullptr, kNoDoc, nullptr},
    RAVO_HIST_U(p50_ns),
    RAVO_HIST_U(p90_ns),
    RAVO_HIST_U(p99_ns),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef RAVO_INFO_U
#undef RAVO_HIST_U

template <typename Obj>
void plain_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);  // heap types are referenced by their instances
}

const char kSampleInfoDoc[] =
    "Snapshot of backpressure + throughput metrics returned with every sample.\n\n"
    "The histogram fields and CAS counters are populated only when the\n"
    "`detailed-metrics` build feature is enabled; otherwise they come back as\n"
    "zero-valued `HistSnapshot`s / zero counters.";

const char kHistSnapshotDoc[] =
    "Histogram percentiles (ns) exposed to Python. Mirrors\n"
    "`metrics::HistSnapshot`.";

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>(kSampleInfoDoc)},
    {Py_tp_getset, info_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc<PySampleInfo>)},
    {0, nullptr},
};

PyType_Slot hist_slots[] = {
    {Py_tp_doc, const_cast<char*>(kHistSnapshotDoc)},
    {Py_tp_getset, hist_getset},
    {Py_tp_richcompare, reinterpret_cast<void*>(hist_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(hist_hash)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc<PyHistSnapshot>)},
    {0, nullptr},
};

PyType_Spec info_spec = {"ravo.SampleInfo", sizeof(PySampleInfo), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                         info_slots};
PyType_Spec hist_spec = {"ravo.HistSnapshot", sizeof(PyHistSnapshot), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                         hist_slots};

PyTypeObject* cached_info_type = nullptr;  // strong reference for the process's life
PyTypeObject* cached_hist_type = nullptr;  // strong reference for the process's life

}  // namespace

PyTypeObject* sample_info_type() {
    if (cached_info_type == nullptr) {
        cached_info_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&info_spec));  // new reference
    }
    return cached_info_type;
}

PyTypeObject* hist_snapshot_type() {
    if (cached_hist_type == nullptr) {
        cached_hist_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&hist_spec));  // new reference
    }
    return cached_hist_type;
}

PyObject* new_sample_info(const InfoRecord& rec) {
    PyTypeObject* tp = sample_info_type();
    if (tp == nullptr) return nullptr;
    auto* obj = PyObject_New(PySampleInfo, tp);  // new reference
    if (obj == nullptr) return nullptr;
    new (&obj->rec) InfoRecord(rec);
    return reinterpret_cast<PyObject*>(obj);
}

}  // namespace ravo::py
