#include "binding/reader/fetched_type.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "binding/args.h"
#include "binding/py_once.h"
#include "binding/reader/buffer_export.h"
#include "binding/reader/native_error.h"
#include "binding/reader/reader_type.h"
#include "binding/reader/without_gil.h"
#include "binding/tables.h"
#include "data_file/data_file.h"
#include "zip/fetched_ranges.h"
#include "zip/zip_reader.h"

namespace zu::py::reader {

namespace {

using RangesPtr = std::shared_ptr<zip::FetchedRanges>;

struct PyFetched {
  PyObject_HEAD
  RangesPtr ranges;
};

RangesPtr& ranges_of(PyObject* self) { return reinterpret_cast<PyFetched*>(self)->ranges; }

constexpr const char* kNewParams[] = {"length"};

// Fetched(length): a file of `length` bytes, none fetched yet.
PyObject* fetched_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind_tuple({"Fetched()", kNewParams}, args, kwargs, bound)) return nullptr;
  const unsigned long long length = PyLong_AsUnsignedLongLong(bound[0]);
  if (PyErr_Occurred() != nullptr) return nullptr;
  auto ranges = std::make_shared<zip::FetchedRanges>(length);
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&ranges_of(self)) RangesPtr(std::move(ranges));
  return self;
}

void fetched_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  ranges_of(self).~RangesPtr();
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kAddParams[] = {"offset", "data", "transient"};

// add(offset, data, transient): keeps a copy of the bytes-like `data`.
PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  if (!bind_fastcall({"Fetched.add()", kAddParams}, args, nargs, kwnames, bound)) return nullptr;
  const unsigned long long offset = PyLong_AsUnsignedLongLong(bound[0]);
  if (PyErr_Occurred() != nullptr) return nullptr;
  const int transient = PyObject_IsTrue(bound[2]);
  if (transient < 0) return nullptr;
  BufferExport data;
  if (!data.take(bound[1], PyBUF_SIMPLE)) return nullptr;
  const RangesPtr ranges = ranges_of(self);
  {
    // Copying megabytes needs no Python object, and the threads that fetch
    // the next ranges (an event loop, other reads) need the lock meanwhile.
    WithoutGil unlocked;
    ranges->add(offset, std::vector<uint8_t>(data.begin(), data.end()), transient != 0);
  }
  Py_RETURN_NONE;
}

// take_miss() -> (offset, length) of the first byte range a read missed
// since the last call, or None.
PyObject* take_miss(PyObject* self, PyObject*) {
  std::optional<zip::ByteRange> miss = ranges_of(self)->take_miss();
  if (!miss) Py_RETURN_NONE;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(miss->offset),
                       static_cast<unsigned long long>(miss->length));
}

PyObject* drop_transient(PyObject* self, PyObject*) {
  ranges_of(self)->drop_transient();
  Py_RETURN_NONE;
}

PyObject* held(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(ranges_of(self)->held());
}

// directory_range() -> (offset, length) of the central directory, found
// from the fetched end of the file; fails (and records a miss) when the
// bytes it needs are not there yet.
PyObject* directory_range(PyObject* self, PyObject*) {
  RangesPtr ranges = ranges_of(self);
  std::optional<Result<zip::ZipReader>> opened;
  {
    WithoutGil released;
    opened.emplace(zip::ZipReader::open_fetched(ranges));
  }
  if (!*opened) return raise_native(opened->error());
  const zip::ByteRange range = opened->value().directory_range();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(range.offset),
                       static_cast<unsigned long long>(range.length));
}

constexpr const char* kOpenParams[] = {"location", "window_bytes"};

// open(location, window_bytes) -> Reader over these bytes; `location` only
// names the file in messages. A miss fails the open (see take_miss).
PyObject* open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (!bind_fastcall({"Fetched.open()", kOpenParams}, args, nargs, kwnames, bound)) return nullptr;
  std::string location;
  if (!convert_path(bound[0], kOpenParams[0], location)) return nullptr;
  const unsigned long long window = PyLong_AsUnsignedLongLong(bound[1]);
  if (PyErr_Occurred() != nullptr) return nullptr;
  const uint64_t window_bytes = window == 0 ? zip::kDefaultWindowBytes : window;
  RangesPtr ranges = ranges_of(self);
  std::optional<Result<DataFile>> opened;
  {
    WithoutGil released;
    Result<zip::ZipReader> reader = zip::ZipReader::open_fetched(ranges);
    if (!reader) {
      opened.emplace(reader.take_error());
    } else {
      opened.emplace(DataFile::open_indexed(std::move(location), reader.take(), window_bytes));
    }
  }
  if (!*opened) return raise_native(opened->error());
  return reader_of(opened->take());
}

PyMethodDef kMethods[] = {
    guarded_method<add>("add", METH_FASTCALL | METH_KEYWORDS,
                        "add($self, offset, data, transient)\n--\n\n"),
    guarded_method<take_miss>("take_miss", METH_NOARGS, "take_miss($self)\n--\n\n"),
    guarded_method<drop_transient>("drop_transient", METH_NOARGS, "drop_transient($self)\n--\n\n"),
    guarded_method<held>("held", METH_NOARGS, "held($self)\n--\n\n"),
    guarded_method<directory_range>("directory_range", METH_NOARGS,
                                    "directory_range($self)\n--\n\n"),
    guarded_method<open>("open", METH_FASTCALL | METH_KEYWORDS,
                         "open($self, location, window_bytes)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(Guarded<fetched_new>::call)},
    {Py_tp_dealloc, as_slot(fetched_dealloc)},
    {Py_tp_doc, const_cast<char*>("Fetched(length)\n--\n\nFetched bytes of a remote file.")},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zudata._reader.Fetched", sizeof(PyFetched), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

PyObject* fetched_type() {
  static LazyObject type;
  return type.get([] { return PyType_FromSpec(&kSpec); });
}

}  // namespace zu::py::reader
