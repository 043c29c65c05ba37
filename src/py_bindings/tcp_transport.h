// The `TcpTransport` Python class: a configuration record only (port and
// number of worker threads). `_Server` reads both at construction and builds
// its own transport from them, keeping no reference to this object, so one
// object may configure several servers.
#pragma once

#include "common.h"

#include <cstddef>
#include <cstdint>

namespace ravo::py {

struct PyTcpTransport {
    PyObject_HEAD
    std::uint16_t port;
    std::size_t num_threads;
};

}  // namespace ravo::py
