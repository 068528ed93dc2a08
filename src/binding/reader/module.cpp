// zudata._reader: the native part of zudata.open(), built on the same core
// as zu_data_reader. Single-phase initialisation, one module per process.
#include <atomic>

#include "binding/errors.h"
#include "binding/module_init.h"
#include "binding/py.h"
#include "binding/reader/fetched_type.h"
#include "binding/reader/native_error.h"
#include "binding/reader/reader_type.h"
#include "binding/reader/stop_flag.h"
#include "binding/reader/without_gil.h"
#include "binding/tables.h"
#include "data_file/data_file.h"
#include "zip/member.h"

#ifndef ZU_VERSION
#error "ZU_VERSION must be defined by the build (the version in pyproject.toml)"
#endif

namespace zu::py::reader {

namespace {

// For the test suite only: a fast decoder fault that zlib covers up leaves
// no other trace (see zip::fast_road_mismatches).
PyObject* fast_road_mismatches(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(zip::fast_road_mismatches());
}

PyObject* split_directory_walks(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(zu::split_directory_walks());
}

PyMethodDef kMethods[] = {
    guarded_method<fast_road_mismatches>("_fast_road_mismatches", METH_NOARGS,
                                         "Test hook: fast DEFLATE decoder outputs zlib corrected."),
    guarded_method<split_directory_walks>(
        "_split_directory_walks", METH_NOARGS,
        "Test hook: opens whose directory walk used two threads."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "zudata._reader",
    "Native part of zudata.open(); use the zudata package instead.",
    0,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<unsigned long> main_thread_ident{0};

// Signal handlers run on the thread threading.main_thread() names, which
// need not be the thread that imports this module.
bool remember_main_thread() {
  Ref threading(PyImport_ImportModule("threading"));
  if (!threading) return false;
  Ref main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return false;
  Ref ident(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return false;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  main_thread_ident.store(value, std::memory_order_relaxed);
  return true;
}

bool fill(PyObject* module) {
  PyObject* type = reader_type();
  PyObject* error = native_error_class();
  PyObject* stop_flag = stop_flag_type();
  PyObject* fetched = fetched_type();
  return type != nullptr && error != nullptr && stop_flag != nullptr && fetched != nullptr &&
         remember_main_thread() && PyModule_AddObjectRef(module, "Fetched", fetched) == 0 &&
         PyModule_AddObjectRef(module, "Reader", type) == 0 &&
         PyModule_AddObjectRef(module, "StopFlag", stop_flag) == 0 &&
         PyModule_AddObjectRef(module, "NativeError", error) == 0 &&
         PyModule_AddStringConstant(module, "__version__", ZU_VERSION) == 0;
}

}  // namespace

bool on_main_thread() {
  return PyThread_get_thread_ident() == main_thread_ident.load(std::memory_order_relaxed);
}

}  // namespace zu::py::reader

PyMODINIT_FUNC PyInit__reader(void) {
  using zu::py::reader::fill;
  using zu::py::reader::kModuleDef;
  return zu::py::Guarded<zu::py::init_module_once<kModuleDef, fill>>::call();
}
