#include "binding/module_init.h"

namespace zu::py {

bool owned_by_this_interpreter(std::atomic<int64_t>& owner, const char* module_name) {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return false;
  int64_t expected = -1;
  if (owner.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_Format(PyExc_ImportError,
               "%s does not support sub-interpreters: it was already "
               "initialised in another interpreter of this process",
               module_name);
  return false;
}

}  // namespace zu::py
