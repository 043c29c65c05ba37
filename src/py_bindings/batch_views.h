// Zero-copy NumPy views of a handed-out batch.
//
// Every array of one sample() call is a read-only, C-contiguous, 1-D uint8
// view over ring memory. The arrays share one base object that holds a share
// of the store, so batch memory lives as long as any view of it (a view read
// after its server was destroyed would otherwise read freed memory). NumPy's
// C API is loaded on first use. Called with the interpreter lock held.
// Also answers whether an object is a NumPy array, for submit's copy rules.
#pragma once

#include "common.h"

#include <memory>

#include "store.h"

namespace ravo::py {

// New list of arrays, one per span of `view`; nullptr with an error set
// ("failed to create numpy view" when NumPy returns no array).
PyObject* make_batch_arrays(const ConsumerView& view, std::shared_ptr<Store> store);

// True when `obj` is a NumPy array (a subclass included). Never raises and
// never imports NumPy: an array can exist only once NumPy is imported, so the
// C API is loaded here only when the `numpy` module already is.
bool is_numpy_array(PyObject* obj) noexcept;

}  // namespace ravo::py
