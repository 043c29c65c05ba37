// The extension module `ravo`: multi-phase initialisation registering the
// classes in the order _Server, TcpTransport, SampleInfo, HistSnapshot.
//
// The module has an empty docstring, no per-module state and no functions.
// Type objects are created on first use; the first failure stops the
// execution step with the Python error set (attributes added so far stay).
#include "common.h"

namespace ravo::py {

namespace {

int module_exec(PyObject* module) {
    return guarded<int>(-1, [&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyModule'",
                         Py_TYPE(module)->tp_name);
            return -1;
        }
        struct Entry {
            const char* name;
            PyTypeObject* (*type)();
        };
        static const Entry entries[] = {
            {"_Server", server_type},
            {"TcpTransport", tcp_transport_type},
            {"SampleInfo", sample_info_type},
            {"HistSnapshot", hist_snapshot_type},
        };
        for (const Entry& e : entries) {
            PyTypeObject* tp = e.type();  // borrowed from the process-wide cache
            if (tp == nullptr) return -1;
            if (PyModule_AddObjectRef(module, e.name, reinterpret_cast<PyObject*>(tp)) < 0) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ravo",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ravo::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ravo() {
    return PyModuleDef_Init(&ravo::py::module_def);
}
