#include "binding/methods.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/args.h"
#include "binding/array.h"
#include "binding/data_file_object.h"
#include "binding/errors.h"
#include "binding/py_once.h"
#include "binding/tables.h"
#include "binding/to_python.h"
#include "data_file/data_file.h"
#include "header/number.h"

namespace zu::py {

namespace {

// Writes each diagnostic line to descriptor 1 without the interpreter lock:
// when fd 1 is a pipe drained by another Python thread, a full pipe would
// otherwise never empty. The caller keeps the object taken for exclusive use
// meanwhile, so a thread that reaches it is refused.
class StdoutWithoutGil final : public DiagnosticSink {
 public:
  void line(std::string_view text) override {
    Py_BEGIN_ALLOW_THREADS write_diagnostic_line(text);
    Py_END_ALLOW_THREADS
  }
};

// ---- attributes ----------------------------------------------------------

PyObject* path_class() {
  static LazyObject path;
  return path.get([]() -> PyObject* {
    Ref pathlib(PyImport_ImportModule("pathlib"));
    if (!pathlib) return nullptr;
    return PyObject_GetAttrString(pathlib.get(), "Path");
  });
}

// Valid UTF-8 decodes as such; other bytes come back as the filesystem
// encoding gives them (surrogate escapes), as os.fsdecode would.
PyObject* decode_location(const std::string& bytes) {
  const auto len = static_cast<Py_ssize_t>(bytes.size());
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), len, "strict");
  if (s != nullptr) return s;
  PyErr_Clear();
  return PyUnicode_DecodeFSDefaultAndSize(bytes.data(), len);
}

PyObject* get_location(PyObject* self, void*) {
  Access access = shared_access(self);
  if (!access) return nullptr;
  Ref text(decode_location(file_of(self).location()));
  if (!text) return nullptr;
  PyObject* path = path_class();
  if (path == nullptr) return nullptr;
  return PyObject_CallOneArg(path, text.get());
}

PyObject* get_header(PyObject* self, void*) {
  Access access = shared_access(self);
  if (!access) return nullptr;
  return node_to_py(file_of(self).header().data());
}

// ---- methods -------------------------------------------------------------

PyObject* get_channels(PyObject* self, PyObject*) {
  Access access = shared_access(self);
  if (!access) return nullptr;
  Result<std::vector<std::string_view>> names = file_of(self).channel_names();
  if (!names) return raise_zu_error(names.take_error());
  return str_list(names.value());
}

constexpr const char* kUnitsParams[] = {"channel_name"};

PyObject* get_channel_units(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_fastcall({"ZuDataFIle.get_channel_units()", kUnitsParams}, args, nargs, kwnames,
                     bound)) {
    return nullptr;
  }
  Access access = shared_access(self);
  if (!access) return nullptr;
  std::string_view channel_name;
  if (!convert_str(bound[0], kUnitsParams[0], channel_name)) return nullptr;
  Result<std::vector<std::string_view>> units = file_of(self).unit_types(channel_name);
  if (!units) return raise_zu_error(units.take_error());
  return str_list(units.value());
}

constexpr const char* kDataParams[] = {"name", "segment", "unit_type"};

PyObject* get_channel_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[3];
  if (!bind_fastcall({"ZuDataFIle.get_channel_data()", kDataParams}, args, nargs, kwnames, bound)) {
    return nullptr;
  }
  // Exclusive: the directory walk reuses the reader's work buffer.
  Access access = exclusive_access(self);
  if (!access) return nullptr;
  std::string_view name, unit_type;
  uint8_t segment = 0;
  if (!convert_str(bound[0], kDataParams[0], name) ||
      !convert_segment(bound[1], kDataParams[1], segment) ||
      !convert_str(bound[2], kDataParams[2], unit_type)) {
    return nullptr;
  }
  StdoutWithoutGil diagnostics;
  Result<ChannelValues> values = file_of(self).channel_data(name, segment, unit_type, diagnostics);
  if (!values) return raise_zu_error(values.take_error());
  return channel_array(values.take());
}

}  // namespace

PyMethodDef kDataFileMethods[] = {
    guarded_method<get_channel_data>("get_channel_data", METH_FASTCALL | METH_KEYWORDS,
                                     "get_channel_data($self, name, segment, unit_type)\n--\n\n"),
    guarded_method<get_channels>("get_channels", METH_NOARGS, "get_channels($self)\n--\n\n"),
    guarded_method<get_channel_units>("get_channel_units", METH_FASTCALL | METH_KEYWORDS,
                                      "get_channel_units($self, channel_name)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kDataFileGetSet[] = {
    {"location", Guarded<get_location>::call, nullptr, nullptr, nullptr},
    {"header", Guarded<get_header>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace zu::py
