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
    PyErr_SetString(type, err.message.c_str());
    return nullptr;
}

}  // namespace ravo::py
