#include "binding/errors.h"

#include <exception>
#include <new>
#include <string>

namespace zu::py {

PyObject* raise_zu_error(ZuError&& err) {
  const std::string message = err.message();
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_IOError, text.get());
  return nullptr;
}

void prefix_argument_error(const char* param) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original(PyErr_GetRaisedException());
  if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  Ref message(PyUnicode_FromFormat("argument '%s': %S", param, original.get()));
  if (!message) return;
  Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(replacement.release());
}

std::string describe_exception(PyObject* exc) {
  std::string out;
  Ref qualname(PyType_GetQualName(Py_TYPE(exc)));
  const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  if (name == nullptr) PyErr_Clear();
  out = name ? name : "<unknown>";
  out += ": ";
  Ref text(PyObject_Str(exc));
  Py_ssize_t len = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &len) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    out += "<exception str() failed>";
  } else {
    out.append(utf8, static_cast<size_t>(len));
  }
  return out;
}

PyObject* raise_current_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception in zu_data_reader");
  }
  return nullptr;
}

}  // namespace zu::py
