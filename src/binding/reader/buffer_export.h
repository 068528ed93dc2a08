// A buffer a Python object exports, held for a scope.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/py.h"

namespace zu::py::reader {

// Holds one buffer export and releases it however the scope ends; the
// release needs the interpreter lock, so the scope must end with it held.
// While held, the memory may be read (or, for a writable export, written)
// without the lock: the exporter keeps it in place.
class BufferExport {
 public:
  BufferExport() = default;
  BufferExport(const BufferExport&) = delete;
  BufferExport& operator=(const BufferExport&) = delete;
  ~BufferExport() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Asks `object` for its buffer with PyObject_GetBuffer's `flags`; false
  // with a Python error set when it exports none such.
  bool take(PyObject* object, int flags) {
    held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
    return held_;
  }
  const uint8_t* begin() const { return static_cast<const uint8_t*>(view_.buf); }
  const uint8_t* end() const { return begin() + size(); }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace zu::py::reader
