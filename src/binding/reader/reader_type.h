// zudata._reader.Reader: one open data file for the zudata package.
//
// The instance holds a shared pointer to the core DataFile. Every method
// copies that pointer before it works, so close() (which drops the
// instance's pointer) never frees a file that a call in flight is using:
// the file closes when the last such call finishes. The read, layout and
// open work runs without the interpreter lock, on per-call scratch.
#pragma once

#include "binding/py.h"
#include "data_file/data_file.h"

namespace zu::py::reader {

// The class object, created on first use and kept for the process.
// Borrowed reference, or nullptr with an exception set.
PyObject* reader_type();

// A new Reader owning `file` (new reference), or nullptr with an exception.
PyObject* reader_of(DataFile file);

}  // namespace zu::py::reader
