// The grid of values handed to Python.
#pragma once

#include "binding/py.h"
#include "channels/extract.h"

namespace zu::py {

// Hands `values` to NumPy without a copy (a capsule owns the buffer and
// frees it when NumPy lets go) and reshapes it to values.shape(), which is
// (n, n, 100). Values that do not fill that shape are handed over as an
// array of value_count elements that never stores them, so NumPy's reshape
// fails with its own text; a failing reshape raises OSError carrying NumPy's
// exception as text. Failures while creating the array pass NumPy's
// exception on unchanged. Loads NumPy's C API on first use.
PyObject* channel_array(ChannelValues&& values);

// Checks that `out` can take a read's values of `type` in place: an
// ndarray (else TypeError) of that dtype in native byte order, of shape
// (n, n, 100), C-contiguous and writeable (else ValueError naming what is
// wrong). On success points `target` at its data; the caller keeps `out`
// alive and unresized while the read runs. Whether n fits the read is the
// read's to say.
bool check_out_array(PyObject* out, ValueType type, ValueTarget& target);

}  // namespace zu::py
