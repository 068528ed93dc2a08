// The worker threads that one read may split its members over, shared by
// every read of the process, and the rule that keeps the busy threads at
// the number of cores: a read runs on its calling thread and borrows
// helpers only while callers and borrowed helpers together leave cores
// free. Tasks run here touch no Python object and never take the
// interpreter lock.
#pragma once

#include <cstddef>
#include <functional>

namespace zu::platform {

// The machine's cores as the standard library sees them (at least 1).
size_t core_count();

// Helpers lent to one read, given back when it ends.
class HelperLease {
 public:
  // Counts the calling read as busy and lends it up to `wanted` helpers,
  // as many as the cores not yet busy allow (callers of other reads and
  // the helpers they hold included).
  explicit HelperLease(size_t wanted);
  ~HelperLease();
  HelperLease(const HelperLease&) = delete;
  HelperLease& operator=(const HelperLease&) = delete;

  size_t helpers() const { return helpers_; }
  // Runs `task` on a pool thread; call at most helpers() times.
  void run(std::function<void()> task) const;

 private:
  size_t helpers_ = 0;
};

}  // namespace zu::platform
