#include "binding/data_file.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

#include "binding/args.h"
#include "binding/array.h"
#include "binding/errors.h"
#include "binding/py_once.h"
#include "binding/to_python.h"
#include "channels/data_file.h"
#include "channels/extract.h"
#include "header/number.h"

namespace zu::py {

namespace {

// 0: free; all bits set: one exclusive user; otherwise the shared users.
using AccessCounter = std::atomic<uintptr_t>;
constexpr uintptr_t kExclusive = UINTPTR_MAX;

struct PyDataFile {
  PyObject_HEAD
  AccessCounter access;
  DataFile* file;  // owned; set exactly when construction succeeded
};

PyDataFile* as_data_file(PyObject* self) { return reinterpret_cast<PyDataFile*>(self); }

// Holds shared or exclusive access for one member call and gives it back
// on every way out.
class Access {
 public:
  static Access shared(PyObject* self) {
    AccessCounter& c = as_data_file(self)->access;
    uintptr_t cur = c.load(std::memory_order_relaxed);
    do {
      if (cur == kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return Access(nullptr, false);
      }
      if (cur + 1 == kExclusive) {  // more sharers than a word can count
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return Access(nullptr, false);
      }
    } while (!c.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
    return Access(&c, false);
  }

  static Access exclusive(PyObject* self) {
    AccessCounter& c = as_data_file(self)->access;
    uintptr_t expected = 0;
    if (!c.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return Access(nullptr, true);
    }
    return Access(&c, true);
  }

  Access(Access&& o) noexcept
      : counter_(std::exchange(o.counter_, nullptr)), exclusive_(o.exclusive_) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access() {
    if (counter_ == nullptr) return;
    if (exclusive_) {
      counter_->store(0, std::memory_order_release);
    } else {
      counter_->fetch_sub(1, std::memory_order_release);
    }
  }

  explicit operator bool() const { return counter_ != nullptr; }

 private:
  Access(AccessCounter* c, bool exclusive) : counter_(c), exclusive_(exclusive) {}
  AccessCounter* counter_;
  bool exclusive_;
};

DataFile& file_of(PyObject* self) { return *as_data_file(self)->file; }

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

// ---- constructor and deallocation ---------------------------------------

constexpr const char* kNewParams[] = {"location"};

PyObject* data_file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind_tuple({"ZuDataFIle.__new__()", kNewParams}, args, kwargs, bound)) return nullptr;
  std::string location;
  if (!convert_path(bound[0], "location", location)) return nullptr;

  // The file is opened and the header parsed before any Python object
  // exists, so no instance is ever half built.
  Result<DataFile> opened = DataFile::open(std::move(location));
  if (!opened) return raise_zu_error(opened.take_error());
  auto value = std::make_unique<DataFile>(opened.take());

  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;  // `value` closes the file
  new (&as_data_file(self)->access) AccessCounter(0);
  as_data_file(self)->file = value.release();
  return self;
}

void data_file_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_data_file(self)->file;  // closes the file, frees buffer and tree
  as_data_file(self)->access.~AccessCounter();
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- attributes ----------------------------------------------------------

PyObject* path_class() {
  static GilOnce once;
  static PyObject* path = nullptr;
  const bool ok = once.run([] {
    Ref pathlib(PyImport_ImportModule("pathlib"));
    if (!pathlib) return false;
    path = PyObject_GetAttrString(pathlib.get(), "Path");
    return path != nullptr;
  });
  return ok ? path : nullptr;
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
  Access access = Access::shared(self);
  if (!access) return nullptr;
  Ref text(decode_location(file_of(self).location));
  if (!text) return nullptr;
  PyObject* path = path_class();
  if (path == nullptr) return nullptr;
  return PyObject_CallOneArg(path, text.get());
}

PyObject* get_header(PyObject* self, void*) {
  Access access = Access::shared(self);
  if (!access) return nullptr;
  return node_to_py(file_of(self).header.data());
}

// ---- methods -------------------------------------------------------------

PyObject* get_channels(PyObject* self, PyObject*) {
  Access access = Access::shared(self);
  if (!access) return nullptr;
  Result<std::vector<ChannelPair>> pairs = file_of(self).header.get_channels();
  if (!pairs) return raise_zu_error(pairs.take_error());
  std::vector<std::string_view> names;
  names.reserve(pairs.value().size());
  for (const ChannelPair& p : pairs.value()) names.push_back(p.second);
  return str_list(names);
}

constexpr const char* kUnitsParams[] = {"channel_name"};

PyObject* get_channel_units(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_fastcall({"ZuDataFIle.get_channel_units()", kUnitsParams}, args, nargs, kwnames,
                     bound)) {
    return nullptr;
  }
  Access access = Access::shared(self);
  if (!access) return nullptr;
  std::string_view channel_name;
  if (!convert_str(bound[0], kUnitsParams[0], channel_name)) return nullptr;
  Result<std::vector<std::string_view>> units = file_of(self).header.get_unit_types(channel_name);
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
  Access access = Access::exclusive(self);
  if (!access) return nullptr;
  std::string_view name, unit_type;
  uint8_t segment = 0;
  if (!convert_str(bound[0], kDataParams[0], name) ||
      !convert_segment(bound[1], kDataParams[1], segment) ||
      !convert_str(bound[2], kDataParams[2], unit_type)) {
    return nullptr;
  }
  DataFile& file = file_of(self);
  StdoutWithoutGil diagnostics;
  Result<ChannelValues> values =
      read_channel_values(file.header, file.reader, name, segment, unit_type, diagnostics);
  if (!values) return raise_zu_error(values.take_error());
  return channel_array(values.take());
}

// ---- the type ------------------------------------------------------------

// Fast-call methods are stored as PyCFunction and cast back by the
// interpreter according to their flags.
template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef kMethods[] = {
    {"get_channel_data", as_cfunction(Guarded<get_channel_data>::call),
     METH_FASTCALL | METH_KEYWORDS, "get_channel_data($self, name, segment, unit_type)\n--\n\n"},
    {"get_channels", Guarded<get_channels>::call, METH_NOARGS, "get_channels($self)\n--\n\n"},
    {"get_channel_units", as_cfunction(Guarded<get_channel_units>::call),
     METH_FASTCALL | METH_KEYWORDS, "get_channel_units($self, channel_name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"location", Guarded<get_location>::call, nullptr, nullptr, nullptr},
    {"header", Guarded<get_header>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Guarded<data_file_new>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(data_file_dealloc)},
    {Py_tp_doc,
     const_cast<char*>("ZuDataFIle(location)\n--\n\nMain Class for reading Zu data files.")},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// No base-type flag (the class is final), no instance dict, no weak
// references, no garbage-collector support (instances hold no Python
// objects).
PyType_Spec kSpec = {
    "builtins.ZuDataFIle", sizeof(PyDataFile), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

PyObject* data_file_type() {
  static GilOnce once;
  static PyObject* type = nullptr;
  const bool ok = once.run([] {
    type = PyType_FromSpec(&kSpec);
    return type != nullptr;
  });
  return ok ? type : nullptr;
}

}  // namespace zu::py
