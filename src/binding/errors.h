// The one place where errors become Python exceptions.
#pragma once

#include "binding/py.h"
#include "error/zu_error.h"

namespace zu::py {

// Raises OSError(message) for any ZuError (type exactly OSError, one
// argument, no errno, no cause) and returns nullptr for the caller to pass on.
PyObject* raise_zu_error(ZuError&& err);

// After an argument conversion failed: a pending exception of exactly
// TypeError is replaced by TypeError("argument '<param>': <str(err)>"),
// keeping the original's __cause__. Any other exception is left as it is.
void prefix_argument_error(const char* param);

// "<qualified type name>: <str(exc)>" for an exception object.
std::string describe_exception(PyObject* exc);

}  // namespace zu::py
