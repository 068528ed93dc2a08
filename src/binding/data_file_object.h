// The layout of a ZuDataFIle instance, shared by its lifetime code and its
// methods.
#pragma once

#include "binding/access.h"
#include "binding/py.h"
#include "data_file/data_file.h"

namespace zu::py {

struct PyDataFile {
  PyObject_HEAD
  AccessCounter access;
  DataFile* file;  // owned; set exactly when construction succeeded
};

inline PyDataFile* as_data_file(PyObject* self) { return reinterpret_cast<PyDataFile*>(self); }

// The guard taken by every method and attribute before it touches the file.
inline Access shared_access(PyObject* self) { return Access::shared(as_data_file(self)->access); }
inline Access exclusive_access(PyObject* self) {
  return Access::exclusive(as_data_file(self)->access);
}

inline DataFile& file_of(PyObject* self) { return *as_data_file(self)->file; }

}  // namespace zu::py
