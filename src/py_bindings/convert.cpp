// Argument conversion; see convert.h.
#include "convert.h"

#include <string>

namespace ravo::py {

void set_argument_type_error(const char* name, const char* text) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, text);
}

void name_pending_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // new references, owned here
    PyObject* text = value ? PyObject_Str(value) : nullptr;  // new reference
    const char* msg = text ? PyUnicode_AsUTF8(text) : nullptr;
    if (msg == nullptr) {
        PyErr_Clear();
        msg = "wrong type";
    }
    std::string copy(msg);
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    set_argument_type_error(name, copy.c_str());
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t* out) {
    PyObject* index = PyNumber_Index(obj);  // new reference
    if (index == nullptr) {
        name_pending_type_error(name);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        name_pending_type_error(name);
        return false;
    }
    *out = static_cast<std::uint64_t>(v);
    return true;
}

bool to_u16(PyObject* obj, const char* name, std::uint16_t* out) {
    std::uint64_t v = 0;
    if (!to_u64(obj, name, &v)) return false;
    if (v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    *out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_bool_strict(PyObject* obj, const char* name, bool* out) {
    if (!PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to 'PyBool'", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    *out = obj == Py_True;
    return true;
}

bool check_sequence(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj)) {
        set_argument_type_error(name, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%.200s' object cannot be converted to 'Sequence'", name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    return true;
}

PyObject* sequence_snapshot(PyObject* obj, const char* name) {
    if (!check_sequence(obj, name)) return nullptr;
    PyObject* items = PySequence_Tuple(obj);  // new reference, returned to the caller
    if (items == nullptr) name_pending_type_error(name);
    return items;
}

bool to_u64_list(PyObject* obj, const char* name, std::vector<std::uint64_t>* out) {
    OwnedRef items(sequence_snapshot(obj, name));  // new reference, owned
    if (items.get() == nullptr) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    out->clear();
    out->reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::uint64_t v = 0;
        if (!to_u64(PyTuple_GET_ITEM(items.get(), i), name, &v)) return false;  // item borrowed from the snapshot
        out->push_back(v);
    }
    return true;
}

bool to_u64_list_list(PyObject* obj, const char* name, std::vector<std::vector<std::uint64_t>>* out) {
    OwnedRef items(sequence_snapshot(obj, name));  // new reference, owned
    if (items.get() == nullptr) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    out->clear();
    out->resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // item borrowed from the snapshot
        if (!to_u64_list(PyTuple_GET_ITEM(items.get(), i), name, &(*out)[static_cast<std::size_t>(i)])) return false;
    }
    return true;
}

}  // namespace ravo::py
