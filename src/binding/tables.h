// Entries of the tables the interpreter reads functions from: methods and
// type slots.
#pragma once

#include "binding/errors.h"
#include "binding/py.h"

namespace zu::py {

// Method tables store every function as PyCFunction and slots as void*; the
// interpreter casts each back according to the method's flags or the slot's
// id. The detour through a plain function pointer marks the cast between
// function types as intended, so the compiler does not warn about it.
template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <class Fn>
void* as_slot(Fn* fn) {
  return reinterpret_cast<void*>(fn);
}

// A method-table entry for `Fn`, called through Guarded so that no C++
// exception reaches the interpreter.
template <auto Fn>
PyMethodDef guarded_method(const char* name, int flags, const char* doc) {
  return {name, as_cfunction(Guarded<Fn>::call), flags, doc};
}

}  // namespace zu::py
