// zudata._reader.StopFlag: a flag that Python code sets to end reads in
// flight on any thread, such as the reads of a pool of threads, which never
// see a signal themselves, or those of a program whose SIGINT handler only
// records the request.
#pragma once

#include <atomic>

#include "binding/py.h"

namespace zu::py::reader {

// The class object, created on first use and kept for the process.
// Borrowed reference, or nullptr with an exception set.
PyObject* stop_flag_type();

// The flag of a StopFlag instance, which stays valid while the caller keeps
// a reference to it; nullptr with TypeError set when `obj` is none.
const std::atomic<bool>* stop_flag_of(PyObject* obj, const char* param);

}  // namespace zu::py::reader
