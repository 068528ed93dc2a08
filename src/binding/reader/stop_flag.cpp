#include "binding/reader/stop_flag.h"

#include <new>

#include "binding/errors.h"
#include "binding/py_once.h"
#include "binding/tables.h"

namespace zu::py::reader {

namespace {

// Read without the interpreter lock by the reads that obey it, so atomic.
struct PyStopFlag {
  PyObject_HEAD
  std::atomic<bool> set;
};

PyStopFlag* as_flag(PyObject* self) { return reinterpret_cast<PyStopFlag*>(self); }

PyObject* flag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "StopFlag() takes no arguments");
    return nullptr;
  }
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_flag(self)->set) std::atomic<bool>(false);
  return self;
}

void flag_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* flag_set(PyObject* self, PyObject*) {
  as_flag(self)->set.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyObject* flag_is_set(PyObject* self, PyObject*) {
  return PyBool_FromLong(as_flag(self)->set.load(std::memory_order_relaxed));
}

PyMethodDef kMethods[] = {
    guarded_method<flag_set>("set", METH_NOARGS, "set($self)\n--\n\nEnds the reads that obey the flag."),
    guarded_method<flag_is_set>("is_set", METH_NOARGS, "is_set($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(Guarded<flag_new>::call)},
    {Py_tp_dealloc, as_slot(flag_dealloc)},
    {Py_tp_doc, const_cast<char*>("StopFlag()\n--\n\nSet once to end the reads given it.")},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// Final, no instance dict, no garbage-collector support (instances hold no
// Python objects).
PyType_Spec kSpec = {
    "zudata._reader.StopFlag", sizeof(PyStopFlag), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

}  // namespace

PyObject* stop_flag_type() {
  static LazyObject type;
  return type.get([] { return PyType_FromSpec(&kSpec); });
}

const std::atomic<bool>* stop_flag_of(PyObject* obj, const char* param) {
  PyObject* type = stop_flag_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a StopFlag or None", param);
    return nullptr;
  }
  return &as_flag(obj)->set;
}

}  // namespace zu::py::reader
