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

// Inside a catch block: raises the Python exception for the C++ exception
// being handled (MemoryError for std::bad_alloc, RuntimeError with what()
// for another std::exception, SystemError for anything else) and returns
// nullptr.
PyObject* raise_current_cpp_exception() noexcept;

// Wraps a function the interpreter calls (a slot or method) so that no C++
// exception unwinds into the interpreter, where it would end the process.
// Unwinding has already given back everything the call held (object access,
// references, open files) by the time the Python exception is raised.
template <auto Fn>
struct Guarded;

template <class... Args, PyObject* (*Fn)(Args...)>
struct Guarded<Fn> {
  static PyObject* call(Args... args) noexcept {
    try {
      return Fn(args...);
    } catch (...) {
      return raise_current_cpp_exception();
    }
  }
};

}  // namespace zu::py
