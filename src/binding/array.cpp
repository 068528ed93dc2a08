#include "binding/array.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zu_data_reader_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "binding/errors.h"
#include "binding/py_once.h"

namespace zu::py {

namespace {

constexpr const char* kCapsuleName = "zu_data_reader.values";

// Loaded on the first array, not at import: importing the module must not
// import NumPy.
bool numpy_ready() {
  static GilOnce once;
  return once.run([] { return _import_array() == 0; });
}

void free_values(PyObject* capsule) {
  delete static_cast<ValueBuffer*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// A one-dimensional writeable float64 array over the vector's storage; the
// returned array owns the vector through its base object.
PyObject* wrap_values(ValueBuffer&& values) {
  auto owned = std::make_unique<ValueBuffer>(std::move(values));
  double* data = owned->data();
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  npy_intp strides[1] = {sizeof(double)};
  Ref capsule(PyCapsule_New(owned.get(), kCapsuleName, free_values));
  if (!capsule) return nullptr;
  owned.release();  // the capsule frees it from here on
  Ref array(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 1, dims,
                                 strides, data, NPY_ARRAY_WRITEABLE, nullptr));
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
  Ref flat(fits ? wrap_values(std::move(values.values)) : counted_values(values.value_count));
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
