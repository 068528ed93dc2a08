// Running core work without the interpreter lock, and noticing signals
// meanwhile.
#pragma once

#include <atomic>

#include "binding/py.h"
#include "zip/cancel.h"

namespace zu::py::reader {

// Gives up the interpreter lock for its lifetime and takes it back when it
// ends, also when a C++ exception unwinds through it. Code inside must not
// touch Python objects, except through SignalCheck below.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

  // Runs `fn` with the lock held again, then gives it up once more.
  template <class Fn>
  void with_gil(Fn&& fn) {
    PyEval_RestoreThread(state_);
    fn();
    state_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* state_;
};

// The cancellation check of a read. It says stop once `stop` (may be null,
// see StopFlag) is set. On the main thread it also takes the lock for a
// moment and lets Python run its signal handlers (PyErr_CheckSignals): when
// one raises (KeyboardInterrupt for Ctrl-C) the read is told to stop and the
// exception is kept for raise_pending(); a handler that only records the
// signal may set `stop` instead. Other threads never run signal handlers and
// never take the lock here.
//
// Make it with the lock held, before the WithoutGil it is attached to, so
// that it is destroyed after the lock is back.
class SignalCheck final : public zip::CancelCheck {
 public:
  SignalCheck(bool main_thread, const std::atomic<bool>* stop)
      : main_thread_(main_thread), stop_(stop) {}
  ~SignalCheck() { Py_XDECREF(pending_); }
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  // While attached to `released`, the check may take the lock through it.
  void attach(WithoutGil* released) { released_ = released; }

  bool cancelled() override {
    if (pending_ != nullptr || stop_set()) return true;
    if (!main_thread_ || released_ == nullptr) return false;
    released_->with_gil([this] {
      if (PyErr_CheckSignals() < 0) pending_ = PyErr_GetRaisedException();
    });
    return pending_ != nullptr || stop_set();
  }

  // With the lock held: raises the kept exception, or KeyboardInterrupt
  // when the read was stopped by its flag alone, and returns true; returns
  // false when the read was not stopped.
  bool raise_pending() {
    if (pending_ != nullptr) {
      PyErr_SetRaisedException(pending_);
      pending_ = nullptr;
      return true;
    }
    if (!stopped_) return false;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return true;
  }

 private:
  bool stop_set() {
    stopped_ = stopped_ || (stop_ != nullptr && stop_->load(std::memory_order_relaxed));
    return stopped_;
  }

  WithoutGil* released_ = nullptr;
  bool main_thread_;
  const std::atomic<bool>* stop_;
  bool stopped_ = false;
  PyObject* pending_ = nullptr;
};

// True when the calling thread is the interpreter's main thread (the one
// that runs signal handlers). Needs the lock.
bool on_main_thread();

}  // namespace zu::py::reader
