// Process-wide one-time initialisation under the interpreter lock, and the
// objects made that way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "binding/py.h"

namespace zu::py {

// Runs an initialiser once per process. Once it has succeeded, later calls
// return at once without touching the lock. A thread that finds another
// thread in the middle of the initialiser (which can happen when the
// initialiser runs Python code that switches threads) gives up the
// interpreter lock while it waits, then takes it back before it reads the
// result or runs the initialiser itself. A failed initialiser (Python
// exception set, returns false) is retried by the next caller.
class GilOnce {
 public:
  template <class Init>
  bool run(Init&& init) {
    for (;;) {
      if (done_.load(std::memory_order_acquire)) return true;
      bool reentered = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) {
          running_ = true;
          runner_ = std::this_thread::get_id();
          break;
        }
        reentered = runner_ == std::this_thread::get_id();
      }
      // The initialiser asked for itself: waiting would never end. It runs
      // without the mutex, which it may well ask for again.
      if (reentered) return init();
      wait_without_gil();
    }
    const bool ok = init();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      running_ = false;
      if (ok) done_.store(true, std::memory_order_release);
    }
    cv_.notify_all();
    return ok;
  }

 private:
  void wait_without_gil() {
    PyThreadState* saved = PyEval_SaveThread();
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return !running_; });
    }
    PyEval_RestoreThread(saved);
  }

  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool running_ = false;
  std::thread::id runner_;
};

// A Python object made on first use and kept for the life of the process
// (the class, the module, cached lookups). `get(init)` runs `init` through a
// GilOnce: `init` returns a new reference, which the LazyObject keeps, or
// nullptr with an exception set, and then the next call tries again. Returns
// a borrowed reference, or nullptr with the exception set.
class LazyObject {
 public:
  template <class Init>
  PyObject* get(Init&& init) {
    const bool ok = once_.run([&] {
      object_ = init();
      return object_ != nullptr;
    });
    return ok ? object_ : nullptr;
  }

 private:
  GilOnce once_;
  PyObject* object_ = nullptr;
};

}  // namespace zu::py
