#include "binding/array.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zu_data_reader_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "binding/errors.h"
#include "binding/py_once.h"

namespace zu::py {

namespace {

constexpr const char* kCapsuleName = "zu_data_reader.values";
constexpr const char* kFloatCapsuleName = "zudata.float32_values";

// Loaded on the first array, not at import: importing the module must not
// import NumPy.
bool numpy_ready() {
  static GilOnce once;
  return once.run([] { return _import_array() == 0; });
}

template <class Buffer>
struct Storage;
template <>
struct Storage<ValueBuffer> {
  static constexpr const char* const* name = &kCapsuleName;
  static constexpr int type_num = NPY_FLOAT64;
};
template <>
struct Storage<FloatBuffer> {
  static constexpr const char* const* name = &kFloatCapsuleName;
  static constexpr int type_num = NPY_FLOAT32;
};

template <class Buffer>
void free_values(PyObject* capsule) {
  delete static_cast<Buffer*>(PyCapsule_GetPointer(capsule, *Storage<Buffer>::name));
}

// A one-dimensional writeable array over the vector's storage (float64 or
// float32); the returned array owns the vector through its base object.
template <class Buffer>
PyObject* wrap_values(Buffer&& values) {
  auto owned = std::make_unique<Buffer>(std::move(values));
  auto* data = owned->data();
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  npy_intp strides[1] = {sizeof(*data)};
  Ref capsule(PyCapsule_New(owned.get(), *Storage<Buffer>::name, free_values<Buffer>));
  if (!capsule) return nullptr;
  owned.release();  // the capsule frees it from here on
  Ref array(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(Storage<Buffer>::type_num), 1,
                                 dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return nullptr;
  // Steals the capsule reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
    return nullptr;
  }
  return array.release();
}

// A read-only array of `count` values that all share one element (stride
// 0): it has the length of values that were counted but never stored, so
// NumPy can say in its own words why they do not fit the grid.
PyObject* counted_values(uint64_t count) {
  static const double kPlaceholder = 0.0;
  const uint64_t limit = static_cast<uint64_t>(NPY_MAX_INTP);
  npy_intp dims[1] = {static_cast<npy_intp>(std::min(count, limit))};
  npy_intp strides[1] = {0};
  return PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 1, dims, strides,
                              const_cast<double*>(&kPlaceholder), 0, nullptr);
}

}  // namespace

PyObject* channel_array(ChannelValues&& values) {
  if (!numpy_ready()) return nullptr;
  const auto [side, side_again, length] = values.shape();
  const npy_intp n = static_cast<npy_intp>(side);
  const bool fits = values.fits_grid();
  Ref flat(!fits                               ? counted_values(values.value_count)
           : values.type == ValueType::Float32 ? wrap_values(std::move(values.floats))
                                               : wrap_values(std::move(values.values)));
  if (!flat) return nullptr;
  npy_intp shape[3] = {n, static_cast<npy_intp>(side_again), static_cast<npy_intp>(length)};
  PyArray_Dims dims = {shape, 3};
  Ref grid(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &dims, NPY_ANYORDER));
  if (!grid) {
    Ref exc(PyErr_GetRaisedException());
    return raise_zu_error(ZuError::numpy(describe_exception(exc.get())));
  }
  return grid.release();
}

}  // namespace zu::py

namespace zu::py {

bool check_out_array(PyObject* out, ValueType type, ValueTarget& target) {
  if (!numpy_ready()) return false;
  if (!PyArray_Check(out)) {
    PyErr_Format(PyExc_TypeError, "argument 'out': expected a numpy.ndarray or None, not %.100s",
                 Py_TYPE(out)->tp_name);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(out);
  const int want = type == ValueType::Float32 ? NPY_FLOAT32 : NPY_FLOAT64;
  const char* want_name = type == ValueType::Float32 ? "float32" : "float64";
  if (PyArray_TYPE(array) != want || !PyArray_ISNBO(PyArray_DESCR(array)->byteorder)) {
    Ref got(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    PyErr_Format(PyExc_ValueError, "argument 'out': dtype is %s, the read gives %s (native order)",
                 got ? PyUnicode_AsUTF8(got.get()) : "?", want_name);
    return false;
  }
  const npy_intp* dims = PyArray_DIMS(array);
  if (PyArray_NDIM(array) != 3 || dims[0] != dims[1] ||
      dims[2] != static_cast<npy_intp>(kTraceLength)) {
    std::string shape = "(";
    for (int d = 0; d < PyArray_NDIM(array); ++d) {
      shape += (d > 0 ? ", " : "") + std::to_string(dims[d]);
    }
    shape += PyArray_NDIM(array) == 1 ? ",)" : ")";
    PyErr_Format(PyExc_ValueError, "argument 'out': shape %s is no (n, n, %zu) grid", shape.c_str(),
                 kTraceLength);
    return false;
  }
  if (!PyArray_IS_C_CONTIGUOUS(array)) {
    PyErr_SetString(PyExc_ValueError, "argument 'out': not C-contiguous");
    return false;
  }
  if (!PyArray_ISWRITEABLE(array)) {
    PyErr_SetString(PyExc_ValueError, "argument 'out': read-only");
    return false;
  }
  target.type = type;
  target.buffer = PyArray_DATA(array);
  target.count = static_cast<size_t>(PyArray_SIZE(array));
  return true;
}

}  // namespace zu::py
