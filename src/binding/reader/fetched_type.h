// zudata._reader.Fetched: the fetched bytes of a file that lives elsewhere
// (see zip::FetchedRanges). Python fetches; the core reads what was
// fetched and says which range it missed.
#pragma once

#include "binding/py.h"

namespace zu::py::reader {

// The class object, created on first use and kept for the process.
// Borrowed reference, or nullptr with an exception set.
PyObject* fetched_type();

}  // namespace zu::py::reader
