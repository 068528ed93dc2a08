// The float64 grid handed to Python.
#pragma once

#include "binding/py.h"
#include "channels/extract.h"

namespace zu::py {

// Hands `values` to NumPy without a copy (a capsule owns the buffer and
// frees it when NumPy lets go) and reshapes it to (n, n, 100) with
// n = isqrt(member_count). A failing reshape raises OSError carrying
// NumPy's exception as text; failures while creating the array pass
// NumPy's exception on unchanged. Loads NumPy's C API on first use.
PyObject* channel_array(ChannelValues&& values);

}  // namespace zu::py
