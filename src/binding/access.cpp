#include "binding/access.h"

namespace zu::py {

namespace {

constexpr uintptr_t kExclusive = UINTPTR_MAX;

}  // namespace

Access Access::shared(AccessCounter& c) {
  uintptr_t cur = c.load(std::memory_order_relaxed);
  do {
    if (cur == kExclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return Access(nullptr, false);
    }
    if (cur + 1 == kExclusive) {  // more sharers than a word can count
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return Access(nullptr, false);
    }
  } while (!c.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
  return Access(&c, false);
}

Access Access::exclusive(AccessCounter& c) {
  uintptr_t expected = 0;
  if (!c.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return Access(nullptr, true);
  }
  return Access(&c, true);
}

Access::~Access() {
  if (counter_ == nullptr) return;
  if (exclusive_) {
    counter_->store(0, std::memory_order_release);
  } else {
    counter_->fetch_sub(1, std::memory_order_release);
  }
}

}  // namespace zu::py
