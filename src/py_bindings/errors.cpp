// Core error values to Python exceptions; see common.h.
#include "common.h"

namespace ravo::py {

PyObject* raise_error(const Error& err) {
    PyObject* type = PyExc_RuntimeError;
    switch (err.kind) {
        case Error::Kind::Config: type = PyExc_ValueError; break;
        case Error::Kind::Memory: type = PyExc_MemoryError; break;
        case Error::Kind::State:
        case Error::Kind::System: type = PyExc_RuntimeError; break;
    }
    return raise_text(type, err.message);
}

PyObject* raise_text(PyObject* type, const std::string& text) {
    PyObject* value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");  // new reference
    if (value == nullptr) return nullptr;
    PyErr_SetObject(type, value);
    Py_DECREF(value);
    return nullptr;
}

}  // namespace ravo::py
