// The guard against conflicting use of one data-file object: any number of
// shared users (attributes, header queries) or one exclusive user (channel
// data, whose walk reuses the reader's work buffer).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/py.h"

namespace zu::py {

// 0: free; all bits set: one exclusive user; otherwise the shared users.
using AccessCounter = std::atomic<uintptr_t>;

// Holds shared or exclusive access for one member call and gives it back
// on every way out.
class Access {
 public:
  // Shared access; fails with RuntimeError("Already mutably borrowed") while
  // an exclusive user holds the object, RuntimeError("Already borrowed") when
  // the counter is full.
  static Access shared(AccessCounter& counter);

  // Exclusive access; fails with RuntimeError("Already borrowed") while
  // anyone else holds the object.
  static Access exclusive(AccessCounter& counter);

  Access(Access&& o) noexcept
      : counter_(std::exchange(o.counter_, nullptr)), exclusive_(o.exclusive_) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access();

  // False when access was refused (the exception is set).
  explicit operator bool() const { return counter_ != nullptr; }

 private:
  Access(AccessCounter* c, bool exclusive) : counter_(c), exclusive_(exclusive) {}
  AccessCounter* counter_;
  bool exclusive_;
};

}  // namespace zu::py
