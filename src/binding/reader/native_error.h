// How the zudata._reader module reports failures: one exception class,
// NativeError, whose arguments say what kind of failure happened. The
// zudata package turns it into its public exception classes in one place.
#pragma once

#include <cstddef>

#include "binding/py.h"
#include "error/zu_error.h"

namespace zu::py::reader {

// The class zudata._reader.NativeError (a subclass of Exception), made on
// first use. Borrowed reference, or nullptr with an exception set.
PyObject* native_error_class();

// Raises NativeError(kind, message, errno) for `err`: kind is the ZuError
// kind's name ("Io", "Zip", "InvalidChannel", ...), message its text, errno
// the operating system's number for Io errors that have one, else None.
// Returns nullptr for the caller to pass on. Never called for Cancelled.
PyObject* raise_native(const ZuError& err);

// Raises NativeError("Grid", message, None, member_count, long_trace): the
// values do not fill an (n, n, 100) grid, because the member count is no
// square or (long_trace) a member holds more than 100 samples.
PyObject* raise_grid(size_t member_count, bool long_trace);

// Raises ValueError("I/O operation on closed file"), as Python's own files do.
PyObject* raise_closed();

}  // namespace zu::py::reader
