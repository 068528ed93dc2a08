#include "platform/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace zu::platform {

namespace {

// The name the pool's threads carry in ps, top, debuggers and
// /proc/<pid>/task/*/comm, so that they are told apart from the threads
// of other libraries (at most 15 characters, as Linux allows).
void name_this_thread() {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "zu-read");
#elif defined(__APPLE__)
  pthread_setname_np("zu-read");
#endif
}

long process_id() {
#if defined(_WIN32)
  return static_cast<long>(_getpid());
#else
  return static_cast<long>(::getpid());
#endif
}

// Threads started on first use and kept for the life of the process; the
// pool is never destroyed, so no thread is joined while the interpreter
// shuts down (idle ones wait on the condition variable until exit).
class Pool {
 public:
  // The pool of this process. A child made by fork() inherits the pool
  // object but none of its threads, so a new process starts a pool of its
  // own (the parent's object is left as it is: its mutex may be held).
  static Pool& shared() {
    static std::mutex guard;
    static Pool* pool = nullptr;
    static long owner = 0;
    std::lock_guard<std::mutex> lock(guard);
    if (pool == nullptr || owner != process_id()) {
      pool = new Pool(core_count() > 1 ? core_count() - 1 : 0);
      owner = process_id();
    }
    return *pool;
  }

  void run(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    ready_.notify_one();
  }

 private:
  explicit Pool(size_t threads) {
    for (size_t i = 0; i < threads; ++i) std::thread([this] { serve(); }).detach();
  }

  void serve() {
    name_this_thread();
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
};

std::atomic<size_t> g_busy{0};  // callers of running reads plus helpers lent

}  // namespace

size_t core_count() {
  static const size_t cores = std::max<size_t>(1, std::thread::hardware_concurrency());
  return cores;
}

HelperLease::HelperLease(size_t wanted) {
  size_t busy = g_busy.fetch_add(1) + 1;
  const size_t most = core_count() - 1;  // the pool's threads
  wanted = std::min(wanted, most);
  for (;;) {
    const size_t free = busy < core_count() ? core_count() - busy : 0;
    const size_t take = std::min(wanted, free);
    if (take == 0) break;
    if (g_busy.compare_exchange_weak(busy, busy + take)) {
      helpers_ = take;
      break;
    }
  }
}

HelperLease::~HelperLease() { g_busy.fetch_sub(1 + helpers_); }

void HelperLease::run(std::function<void()> task) const { Pool::shared().run(std::move(task)); }

}  // namespace zu::platform
