// What both extension modules do when imported. Each keeps process-wide
// state (its classes, cached lookups), so it belongs to the first
// interpreter that imports it and is made once for the life of the process.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/py.h"
#include "binding/py_once.h"

namespace zu::py {

// True when `owner` names this interpreter, or named none and now does;
// otherwise sets ImportError (naming `module_name`) and returns false.
bool owned_by_this_interpreter(std::atomic<int64_t>& owner, const char* module_name);

// The module object of `Def`, made and given to `Fill` on the first call in
// the interpreter that owns the module, and the same object on every later
// call there. New reference, or nullptr with an exception set (a failed
// `Fill` leaves nothing made, and the next import tries again).
template <PyModuleDef& Def, bool (*Fill)(PyObject*)>
PyObject* init_module_once() {
  static std::atomic<int64_t> owner{-1};
  if (!owned_by_this_interpreter(owner, Def.m_name)) return nullptr;
  static LazyObject module;
  PyObject* made = module.get([]() -> PyObject* {
    Ref m(PyModule_Create(&Def));
    if (!m || !Fill(m.get())) return nullptr;
    return m.release();
  });
  return made ? Py_NewRef(made) : nullptr;
}

}  // namespace zu::py
