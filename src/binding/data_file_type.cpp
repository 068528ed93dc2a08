#include "binding/data_file_type.h"

#include <memory>
#include <new>
#include <string>

#include "binding/args.h"
#include "binding/data_file_object.h"
#include "binding/errors.h"
#include "binding/methods.h"
#include "binding/py_once.h"
#include "binding/tables.h"

namespace zu::py {

namespace {

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

// ---- the type ------------------------------------------------------------

PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(Guarded<data_file_new>::call)},
    {Py_tp_dealloc, as_slot(data_file_dealloc)},
    {Py_tp_doc,
     const_cast<char*>("ZuDataFIle(location)\n--\n\nMain Class for reading Zu data files.")},
    {Py_tp_methods, kDataFileMethods},
    {Py_tp_getset, kDataFileGetSet},
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
  static LazyObject type;
  return type.get([] { return PyType_FromSpec(&kSpec); });
}

}  // namespace zu::py
