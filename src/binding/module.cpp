// Module initialisation: single-phase, one module object per process.
#include <atomic>
#include <cstdint>

#include "binding/data_file_type.h"
#include "binding/errors.h"
#include "binding/py.h"
#include "binding/py_once.h"

#ifndef ZU_VERSION
#error "ZU_VERSION must be defined by the build (the version in pyproject.toml)"
#endif

namespace zu::py {
namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "zu_data_reader", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module keeps process-wide state (the class, cached lookups), so it
// belongs to the first interpreter that imports it.
bool check_interpreter() {
  static std::atomic<int64_t> owner{-1};
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return false;
  int64_t expected = -1;
  if (owner.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "zu_data_reader does not support sub-interpreters: it was already "
                  "initialised in another interpreter of this process");
  return false;
}

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

PyObject* init_module() {
  if (!check_interpreter()) return nullptr;
  static LazyObject module;  // kept for the life of the process
  PyObject* made = module.get([]() -> PyObject* {
    Ref m(PyModule_Create(&kModuleDef));
    if (!m || !add_class(m.get())) return nullptr;
    if (PyModule_AddStringConstant(m.get(), "__version__", ZU_VERSION) < 0) return nullptr;
    return m.release();
  });
  return made ? Py_NewRef(made) : nullptr;
}

}  // namespace
}  // namespace zu::py

PyMODINIT_FUNC PyInit_zu_data_reader(void) { return zu::py::Guarded<zu::py::init_module>::call(); }
