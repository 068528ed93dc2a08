#include "binding/reader/native_error.h"

#include <string>

#include "binding/py_once.h"

namespace zu::py::reader {

namespace {

const char* kind_name(ZuErrorKind kind) {
  switch (kind) {
    case ZuErrorKind::Io:
      return "Io";
    case ZuErrorKind::Zip:
      return "Zip";
    case ZuErrorKind::Numpy:
      return "Numpy";
    case ZuErrorKind::InvalidHeaderLine:
      return "InvalidHeaderLine";
    case ZuErrorKind::InvalidNodeVariant:
      return "InvalidNodeVariant";
    case ZuErrorKind::InvalidUtf8Header:
      return "InvalidUtf8Header";
    case ZuErrorKind::HeaderMissingKey:
      return "HeaderMissingKey";
    case ZuErrorKind::NoFile:
      return "NoFile";
    case ZuErrorKind::InvalidChannel:
      return "InvalidChannel";
    case ZuErrorKind::ParseFloatError:
      return "ParseFloatError";
    case ZuErrorKind::Cancelled:
      return "Cancelled";
  }
  return "Unknown";
}

PyObject* raise_args(Ref args) {
  if (!args) return nullptr;
  PyObject* cls = native_error_class();
  if (cls == nullptr) return nullptr;
  PyErr_SetObject(cls, args.get());
  return nullptr;
}

}  // namespace

PyObject* native_error_class() {
  static LazyObject cls;
  return cls.get([] {
    return PyErr_NewExceptionWithDoc(
        "zudata._reader.NativeError",
        "A failure of the native reader: args are (kind, message, errno, ...); the zudata "
        "package turns it into its public exceptions.",
        PyExc_Exception, nullptr);
  });
}

PyObject* raise_native(const ZuError& err) {
  const std::string& message = err.message();
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  Ref number;
  if (err.os_errno() != 0) {
    number = Ref(PyLong_FromLong(err.os_errno()));
  } else {
    number = Ref(Py_NewRef(Py_None));
  }
  if (!number) return nullptr;
  return raise_args(Ref(Py_BuildValue("(sOO)", kind_name(err.kind()), text.get(), number.get())));
}

PyObject* raise_grid(size_t member_count, bool long_trace) {
  const std::string message =
      long_trace ? "a trace holds more than 100 samples"
                 : std::to_string(member_count) + " traces do not fill a square grid";
  return raise_args(
      Ref(Py_BuildValue("(ssOnO)", "Grid", message.c_str(), Py_None,
                        static_cast<Py_ssize_t>(member_count), long_trace ? Py_True : Py_False)));
}

PyObject* raise_closed() {
  PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
  return nullptr;
}

}  // namespace zu::py::reader
