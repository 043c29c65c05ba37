// `TcpTransport(port, num_threads=8)`; see tcp_transport.h.
#include "tcp_transport.h"

#include "convert.h"

namespace ravo::py {

namespace {

PyObject* tcp_transport_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"port", "num_threads", nullptr};
        PyObject* o_port = nullptr;
        PyObject* o_threads = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:TcpTransport", const_cast<char**>(kwlist), &o_port,
                                         &o_threads)) {
            return nullptr;
        }
        std::uint16_t port = 0;
        std::uint64_t threads = 8;
        if (!to_u16(o_port, "port", &port)) return nullptr;
        if (o_threads != nullptr && !to_u64(o_threads, "num_threads", &threads)) return nullptr;
        if (threads == 0) {
            PyErr_SetString(PyExc_ValueError, "num_threads must be > 0");
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);  // new reference
        if (self == nullptr) return nullptr;
        auto* t = reinterpret_cast<PyTcpTransport*>(self);
        t->port = port;
        t->num_threads = static_cast<std::size_t>(threads);
        return self;
    });
}

void tcp_transport_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);  // heap types are referenced by their instances
}

const char kTcpTransportDoc[] = "TcpTransport(port, num_threads=8)\n--\n\n";

PyType_Slot tcp_transport_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTcpTransportDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tcp_transport_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tcp_transport_dealloc)},
    {0, nullptr},
};

PyType_Spec tcp_transport_spec = {"ravo.TcpTransport", sizeof(PyTcpTransport), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, tcp_transport_slots};

PyTypeObject* cached_tcp_transport_type = nullptr;  // strong reference for the process's life

}  // namespace

PyTypeObject* tcp_transport_type() {
    if (cached_tcp_transport_type == nullptr) {
        cached_tcp_transport_type =
            reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&tcp_transport_spec));  // new reference
    }
    return cached_tcp_transport_type;
}

}  // namespace ravo::py
