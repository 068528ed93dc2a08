// The float64 grid handed to Python.
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

}  // namespace zu::py
