// NumPy views over batch memory; see batch_views.h.
#include "batch_views.h"

#include "fork_guard.h"

#define PY_ARRAY_UNIQUE_SYMBOL ravo_ARRAY_API
#include <numpy/arrayobject.h>

#include <new>

namespace ravo::py {

namespace {

// Keeps the store (and so the ring) alive while any view of it exists.
struct PyBatchMemory {
    PyObject_HEAD
    std::shared_ptr<Store> store;
    std::uint64_t generation;  // process generation it was made in (fork_guard.h)
};

void batch_memory_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyBatchMemory* mem = reinterpret_cast<PyBatchMemory*>(self);
    // A forked child's copy may hold the last share of a copied server's
    // store: leave it, as the server's own copy is left (server.cpp).
    if (!inherited_through_fork(mem->generation)) mem->store.~shared_ptr<Store>();
    tp->tp_free(self);
    Py_DECREF(tp);  // heap types are referenced by their instances
}

PyType_Slot batch_memory_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_memory_dealloc)},
    {Py_tp_doc, const_cast<char*>("Batch memory shared by the views of one sample() call.")},
    {0, nullptr},
};

PyType_Spec batch_memory_spec = {
    "ravo._BatchMemory", sizeof(PyBatchMemory), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, batch_memory_slots};

PyTypeObject* cached_batch_memory_type = nullptr;  // strong reference for the process's life
bool numpy_loaded = false;

// Address given to NumPy for an empty leaf, so that its array is a read-only
// view like every other and never owns memory.
std::uint8_t empty_leaf_byte = 0;

}  // namespace

PyTypeObject* batch_memory_type() {
    if (cached_batch_memory_type == nullptr) {
        cached_batch_memory_type =
            reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&batch_memory_spec));  // new reference
    }
    return cached_batch_memory_type;
}

PyObject* make_batch_arrays(const ConsumerView& view, std::shared_ptr<Store> store) {
    if (!numpy_loaded) {
        if (_import_array() < 0) return nullptr;  // ImportError (or NumPy's own) is set
        numpy_loaded = true;
    }
    PyTypeObject* tp = batch_memory_type();
    if (tp == nullptr) return nullptr;
    auto* base = PyObject_New(PyBatchMemory, tp);  // new reference, owned here until the end
    if (base == nullptr) return nullptr;
    new (&base->store) std::shared_ptr<Store>(std::move(store));
    base->generation = process_generation();

    PyObject* list = PyList_New(static_cast<Py_ssize_t>(view.spans.size()));  // new reference
    if (list == nullptr) {
        Py_DECREF(base);
        return nullptr;
    }
    for (std::size_t i = 0; i < view.spans.size(); ++i) {
        const ByteSpan& span = view.spans[i];
        npy_intp dims[1] = {static_cast<npy_intp>(span.len)};
        void* data = span.data != nullptr ? const_cast<std::uint8_t*>(span.data) : &empty_leaf_byte;
        // No WRITEABLE flag: Python cannot write into the batch.
        PyObject* arr = PyArray_New(&PyArray_Type, 1, dims, NPY_UINT8, nullptr, data, 1,
                                    NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);  // new reference
        if (arr == nullptr) {
            PyErr_Clear();
            PyErr_SetString(PyExc_RuntimeError, "failed to create numpy view");
            Py_DECREF(list);
            Py_DECREF(base);
            return nullptr;
        }
        Py_INCREF(base);
        if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), reinterpret_cast<PyObject*>(base)) <
            0) {  // steals the reference to base, also on failure
            Py_DECREF(arr);
            Py_DECREF(list);
            Py_DECREF(base);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), arr);  // steals arr
    }
    Py_DECREF(base);
    return list;
}

bool is_numpy_array(PyObject* obj) noexcept {
    if (!numpy_loaded) {
        // sys.modules, borrowed; the lookup suppresses its own errors.
        if (PyDict_GetItemString(PyImport_GetModuleDict(), "numpy") == nullptr) return false;
        if (_import_array() < 0) {
            PyErr_Clear();  // a broken NumPy: treat the object as any other buffer
            return false;
        }
        numpy_loaded = true;
    }
    return PyArray_Check(obj);
}

}  // namespace ravo::py
