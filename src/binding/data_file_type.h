// The ZuDataFIle class.
#pragma once

#include "binding/py.h"

namespace zu::py {

// The class object, created on first use and kept for the process.
// Returns a borrowed reference, or nullptr with an exception set.
PyObject* data_file_type();

}  // namespace zu::py
