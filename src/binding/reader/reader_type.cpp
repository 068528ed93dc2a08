#include "binding/reader/reader_type.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/args.h"
#include "binding/array.h"
#include "binding/errors.h"
#include "binding/py_once.h"
#include "binding/reader/buffer_export.h"
#include "binding/reader/native_error.h"
#include "binding/reader/stop_flag.h"
#include "binding/reader/without_gil.h"
#include "binding/tables.h"
#include "binding/to_python.h"
#include "data_file/data_file.h"
#include "header/number.h"

namespace zu::py::reader {

namespace {

using FilePtr = std::shared_ptr<const DataFile>;

struct PyReader {
  PyObject_HEAD
  FilePtr file;  // null once closed
};

PyReader* as_reader(PyObject* self) { return reinterpret_cast<PyReader*>(self); }

// The open file, shared with the caller for the length of one call, or null
// with ValueError set when the instance is closed.
FilePtr open_file(PyObject* self) {
  FilePtr file = as_reader(self)->file;
  if (!file) raise_closed();
  return file;
}

// Keeps the diagnostic lines of one read for the caller, who logs them
// with the lock held; without a caller list they are dropped.
class CollectedLines final : public DiagnosticSink {
 public:
  void line(std::string_view text) override {
    if (text.ends_with('\n')) text.remove_suffix(1);
    lines_.emplace_back(text);
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

bool append_lines(PyObject* list, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    Ref text(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace"));
    if (!text || PyList_Append(list, text.get()) < 0) return false;
  }
  return true;
}

template <class T>
PyObject* raise_result(Result<T>& r) {
  return raise_native(r.error());
}

// ---- construction and life -------------------------------------------------

PyObject* wrap(PyTypeObject* type, DataFile opened) {
  auto file = std::make_shared<const DataFile>(std::move(opened));
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;  // `file` closes it
  new (&as_reader(self)->file) FilePtr(std::move(file));
  return self;
}

constexpr const char* kNewParams[] = {"location", "window_bytes"};

// Reader(location, window_bytes): window_bytes 0 means the default size of
// the windows reads fetch at once; others are for tests.
PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2];
  if (!bind_tuple({"Reader()", kNewParams}, args, kwargs, bound)) return nullptr;
  std::string location;
  if (!convert_path(bound[0], kNewParams[0], location)) return nullptr;
  const unsigned long long window = PyLong_AsUnsignedLongLong(bound[1]);
  if (PyErr_Occurred() != nullptr) return nullptr;
  const uint64_t window_bytes = window == 0 ? zip::kDefaultWindowBytes : window;
  std::optional<Result<DataFile>> opened;
  {
    WithoutGil released;
    opened.emplace(DataFile::open_indexed(std::move(location), window_bytes));
  }
  if (!*opened) return raise_native(opened->error());
  return wrap(type, opened->take());
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_reader(self)->file.~FilePtr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* close(PyObject* self, PyObject*) {
  as_reader(self)->file.reset();
  Py_RETURN_NONE;
}

PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(!as_reader(self)->file); }

// ---- header queries ------------------------------------------------------------

PyObject* get_header(PyObject* self, void*) {
  FilePtr file = open_file(self);
  if (!file) return nullptr;
  return node_to_py(file->header().data());
}

PyObject* channels(PyObject* self, PyObject*) {
  FilePtr file = open_file(self);
  if (!file) return nullptr;
  Result<std::vector<std::string_view>> names = file->channel_names();
  if (!names) return raise_result(names);
  return str_list(names.value());
}

constexpr const char* kChannelParams[] = {"channel"};

// A method taking one channel name: binds and converts it, then asks `query`.
template <class Query>
PyObject* channel_query(PyObject* self, const char* full_name, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Query&& query) {
  PyObject* bound[1];
  if (!bind_fastcall({full_name, kChannelParams}, args, nargs, kwnames, bound)) return nullptr;
  FilePtr file = open_file(self);
  if (!file) return nullptr;
  std::string_view channel;
  if (!convert_str(bound[0], kChannelParams[0], channel)) return nullptr;
  return query(*file, channel);
}

PyObject* units(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return channel_query(self, "Reader.units()", args, nargs, kwnames,
                       [](const DataFile& file, std::string_view channel) -> PyObject* {
                         Result<std::vector<std::string_view>> r = file.unit_types(channel);
                         if (!r) return raise_result(r);
                         return str_list(r.value());
                       });
}

PyObject* to_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* base_unit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return channel_query(self, "Reader.base_unit()", args, nargs, kwnames,
                       [](const DataFile& file, std::string_view channel) -> PyObject* {
                         Result<std::string_view> r = file.base_unit(channel);
                         if (!r) return raise_result(r);
                         return to_str(r.value());
                       });
}

PyObject* sample_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return channel_query(self, "Reader.sample_type()", args, nargs, kwnames,
                       [](const DataFile& file, std::string_view channel) -> PyObject* {
                         Result<std::string_view> r = file.sample_type(channel);
                         if (!r) return raise_result(r);
                         return to_str(r.value());
                       });
}

// ---- reading -------------------------------------------------------------------

constexpr const char* kReadParams[] = {"channel", "segment", "unit",  "diagnostics",
                                       "stop",    "threads", "dtype", "out"};

// dtype "float64" or "float32" (the Python side turns NumPy's spellings
// into these names).
bool convert_dtype(PyObject* obj, ValueType& out) {
  std::string_view name;
  if (!convert_str(obj, "dtype", name)) return false;
  if (name == "float64") {
    out = ValueType::Float64;
  } else if (name == "float32") {
    out = ValueType::Float32;
  } else {
    PyErr_SetString(PyExc_ValueError, "argument 'dtype': must be 'float64' or 'float32'");
    return false;
  }
  return true;
}

// Holds the caller's out= array for the length of a read: a reference and
// a writeable buffer export, so that it is neither freed nor (where its
// owner honours exports) resized while the read fills it without the lock.
class PinnedOut {
 public:
  bool pin(PyObject* out) {
    if (!export_.take(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return false;
    ref_ = Ref(Py_NewRef(out));
    return true;
  }
  PyObject* release() { return Py_NewRef(ref_.get()); }

 private:
  Ref ref_;
  BufferExport export_;  // declared after ref_: released before it
};

// threads None -> 0 (as many as the cores allow), else an int of at least 1.
bool convert_threads(PyObject* obj, size_t& out) {
  if (obj == Py_None) {
    out = 0;
    return true;
  }
  if (!PyLong_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'threads': expected an int or None");
    return false;
  }
  const Py_ssize_t n = PyLong_AsSsize_t(obj);
  if (n == -1 && PyErr_Occurred() != nullptr) return false;
  if (n < 1) {
    PyErr_SetString(PyExc_ValueError, "argument 'threads': must be at least 1 (or None)");
    return false;
  }
  out = static_cast<size_t>(n);
  return true;
}

// read(channel, segment, unit, diagnostics, stop, threads): unit None means
// the channel's base unit type; diagnostics None drops the diagnostic lines,
// a list receives them; stop, a StopFlag or None, ends the read with
// KeyboardInterrupt once set (the caller keeps it alive for the call);
// threads as convert_threads takes it; dtype as convert_dtype takes it;
// out None or an array the values fill in place (see check_out_array),
// which is then returned.
PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[8];
  if (!bind_fastcall({"Reader.read()", kReadParams}, args, nargs, kwnames, bound)) return nullptr;
  FilePtr file = open_file(self);
  if (!file) return nullptr;
  std::string_view channel, unit;
  uint8_t segment = 0;
  const bool base = bound[2] == Py_None;
  if (!convert_str(bound[0], kReadParams[0], channel) ||
      !convert_segment(bound[1], kReadParams[1], segment) ||
      (!base && !convert_str(bound[2], kReadParams[2], unit))) {
    return nullptr;
  }
  PyObject* diagnostics = bound[3];
  if (diagnostics != Py_None && !PyList_Check(diagnostics)) {
    PyErr_SetString(PyExc_TypeError, "argument 'diagnostics': expected a list or None");
    return nullptr;
  }
  const std::atomic<bool>* stop = nullptr;
  if (bound[4] != Py_None && (stop = stop_flag_of(bound[4], kReadParams[4])) == nullptr) {
    return nullptr;
  }
  size_t threads = 0;
  if (!convert_threads(bound[5], threads)) return nullptr;
  ValueTarget target;
  if (!convert_dtype(bound[6], target.type)) return nullptr;
  PinnedOut pinned;
  if (bound[7] != Py_None &&
      (!check_out_array(bound[7], target.type, target) || !pinned.pin(bound[7]))) {
    return nullptr;
  }

  SignalCheck check(on_main_thread(), stop);
  CollectedLines lines;
  std::optional<Result<ChannelValues>> values;
  {
    // From here on nothing touches a Python object: the strings are the
    // arguments' own UTF-8 buffers, which the caller keeps alive.
    WithoutGil released;
    check.attach(&released);
    zip::ReadScratch scratch;
    if (base) {
      Result<std::string_view> base_unit = file->base_unit(channel);
      if (!base_unit) {
        values.emplace(base_unit.take_error());
      } else {
        unit = base_unit.value();
      }
    }
    if (!values) {
      values.emplace(
          file->read_channel(channel, segment, unit, lines, scratch, &check, threads, target));
    }
    check.attach(nullptr);
  }
  if (check.raise_pending()) return nullptr;
  if (diagnostics != Py_None && !append_lines(diagnostics, lines.lines())) return nullptr;
  if (!*values) return raise_native(values->error());
  ChannelValues& v = values->value();
  if (v.caller_buffer_mismatch) {
    const size_t n = v.grid_side;
    PyErr_Format(PyExc_ValueError, "argument 'out': wrong shape, the read gives (%zu, %zu, %zu)", n,
                 n, kTraceLength);
    return nullptr;
  }
  if (!v.fits_grid()) {
    const size_t n = v.grid_side;
    return raise_grid(v.member_count, n * n == v.member_count);
  }
  if (v.in_caller_buffer) return pinned.release();
  return channel_array(std::move(v));
}

constexpr const char* kRangeParams[] = {"channel", "segment"};

// fetch_ranges(channel, segment) -> [(offset, length)]: what a read of
// them fetches, for a file whose bytes come from elsewhere.
PyObject* fetch_ranges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (!bind_fastcall({"Reader.fetch_ranges()", kRangeParams}, args, nargs, kwnames, bound)) {
    return nullptr;
  }
  FilePtr file = open_file(self);
  if (!file) return nullptr;
  std::string_view channel;
  uint8_t segment = 0;
  if (!convert_str(bound[0], kReadParams[0], channel) ||
      !convert_segment(bound[1], kReadParams[1], segment)) {
    return nullptr;
  }
  const std::vector<zip::ByteRange> ranges = file->fetch_ranges(channel, segment);
  Ref list(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ranges.size(); ++i) {
    PyObject* pair = Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].offset),
                                   static_cast<unsigned long long>(ranges[i].length));
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// layout() -> {channel: {segment: (traces, shortest, longest)}}, only
// segments with members; the lengths are in samples.
PyObject* layout(PyObject* self, PyObject*) {
  FilePtr file = open_file(self);
  if (!file) return nullptr;
  std::optional<Result<std::vector<ChannelLayout>>> counted;
  {
    WithoutGil released;
    zip::ReadScratch scratch;
    counted.emplace(file->layout(scratch));
  }
  if (!*counted) return raise_native(counted->error());
  Ref result(PyDict_New());
  if (!result) return nullptr;
  for (const ChannelLayout& channel : counted->value()) {
    Ref segments(PyDict_New());
    if (!segments) return nullptr;
    for (size_t s = 0; s < kSegmentCount; ++s) {
      if (channel.traces[s] == 0) continue;
      Ref key(PyLong_FromSize_t(s));
      Ref count(Py_BuildValue("(KKK)", static_cast<unsigned long long>(channel.traces[s]),
                              static_cast<unsigned long long>(channel.shortest[s]),
                              static_cast<unsigned long long>(channel.longest[s])));
      if (!key || !count || PyDict_SetItem(segments.get(), key.get(), count.get()) < 0) {
        return nullptr;
      }
    }
    Ref name(to_str(channel.name));
    if (!name || PyDict_SetItem(result.get(), name.get(), segments.get()) < 0) return nullptr;
  }
  return result.release();
}

// ---- the type --------------------------------------------------------------------

PyMethodDef kMethods[] = {
    guarded_method<close>("close", METH_NOARGS, "close($self)\n--\n\n"),
    guarded_method<channels>("channels", METH_NOARGS, "channels($self)\n--\n\n"),
    guarded_method<units>("units", METH_FASTCALL | METH_KEYWORDS, "units($self, channel)\n--\n\n"),
    guarded_method<base_unit>("base_unit", METH_FASTCALL | METH_KEYWORDS,
                              "base_unit($self, channel)\n--\n\n"),
    guarded_method<sample_type>("sample_type", METH_FASTCALL | METH_KEYWORDS,
                                "sample_type($self, channel)\n--\n\n"),
    guarded_method<read>("read", METH_FASTCALL | METH_KEYWORDS,
                         "read($self, channel, segment, unit, diagnostics, stop, threads, dtype, "
                         "out)\n--\n\n"),
    guarded_method<layout>("layout", METH_NOARGS, "layout($self)\n--\n\n"),
    guarded_method<fetch_ranges>("fetch_ranges", METH_FASTCALL | METH_KEYWORDS,
                                 "fetch_ranges($self, channel, segment)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"header", Guarded<get_header>::call, nullptr, nullptr, nullptr},
    {"closed", Guarded<get_closed>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(Guarded<reader_new>::call)},
    {Py_tp_dealloc, as_slot(reader_dealloc)},
    {Py_tp_doc, const_cast<char*>(
                    "Reader(location, window_bytes)\n--\n\nOne open data file (see zudata.open).")},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

// Final, no instance dict, no garbage-collector support (instances hold no
// Python objects).
PyType_Spec kSpec = {
    "zudata._reader.Reader", sizeof(PyReader), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

PyObject* reader_of(DataFile file) {
  PyObject* type = reader_type();
  if (type == nullptr) return nullptr;
  return wrap(reinterpret_cast<PyTypeObject*>(type), std::move(file));
}

PyObject* reader_type() {
  static LazyObject type;
  return type.get([] { return PyType_FromSpec(&kSpec); });
}

}  // namespace zu::py::reader
