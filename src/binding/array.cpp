#include "binding/array.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zu_data_reader_ARRAY_API
#include <numpy/arrayobject.h>

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
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// A one-dimensional writeable float64 array over the vector's storage; the
// returned array owns the vector through its base object.
PyObject* wrap_values(std::vector<double>&& values) {
  auto owned = std::make_unique<std::vector<double>>(std::move(values));
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

}  // namespace

PyObject* channel_array(ChannelValues&& values) {
  if (!numpy_ready()) return nullptr;
  const npy_intp n = static_cast<npy_intp>(integer_sqrt(values.member_count));
  Ref flat(wrap_values(std::move(values.values)));
  if (!flat) return nullptr;
  npy_intp shape[3] = {n, n, static_cast<npy_intp>(kTraceLength)};
  PyArray_Dims dims = {shape, 3};
  Ref grid(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &dims, NPY_ANYORDER));
  if (!grid) {
    Ref exc(PyErr_GetRaisedException());
    return raise_zu_error(ZuError::numpy(describe_exception(exc.get())));
  }
  return grid.release();
}

}  // namespace zu::py
