// Module initialisation: single-phase, one module object per process
// (see module_init.h).
#include "binding/data_file_type.h"
#include "binding/errors.h"
#include "binding/module_init.h"
#include "binding/py.h"

#ifndef ZU_VERSION
#error "ZU_VERSION must be defined by the build (the version in pyproject.toml)"
#endif

namespace zu::py {
namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "zu_data_reader", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool add_class(PyObject* module) {
  PyObject* type = data_file_type();
  if (type == nullptr) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref name(PyUnicode_FromString("ZuDataFIle"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
  return PyModule_AddObjectRef(module, "ZuDataFIle", type) == 0;
}

bool fill(PyObject* module) {
  return add_class(module) && PyModule_AddStringConstant(module, "__version__", ZU_VERSION) == 0;
}

}  // namespace
}  // namespace zu::py

PyMODINIT_FUNC PyInit_zu_data_reader(void) {
  return zu::py::Guarded<zu::py::init_module_once<zu::py::kModuleDef, zu::py::fill>>::call();
}
