// Stopping a long member walk early, asked between members.
#pragma once

#include <chrono>
#include <cstdint>

namespace zu::zip {

// Answers whether the walk that calls it should stop. It is called on the
// thread that runs the walk, which may not hold the Python interpreter lock;
// an implementation that needs the lock takes it itself.
class CancelCheck {
 public:
  virtual bool cancelled() = 0;

 protected:
  ~CancelCheck() = default;
};

// Asks a CancelCheck at most once per interval of steady time, and reads the
// clock only every few members (or after a few MiB of recorded member size,
// for walks over large members), so that a walk over many small members
// pays next to nothing for being interruptible. A null check is never asked.
class CancelPoll {
 public:
  static constexpr std::chrono::milliseconds kInterval{20};
  static constexpr uint32_t kStride = 8;  // members between looks at the clock
  static constexpr uint64_t kByteStride = uint64_t{4} << 20;

  explicit CancelPoll(CancelCheck* check)
      : check_(check), next_(std::chrono::steady_clock::now() + kInterval) {}

  // True when the check was due and said stop. Call once per member, with
  // the size the directory records for the member about to be read.
  bool should_stop(uint64_t member_size) {
    if (check_ == nullptr) return false;
    bytes_ += member_size < kByteStride ? member_size : kByteStride;  // never wraps
    if (++members_ % kStride != 0 && bytes_ < kByteStride) return false;
    bytes_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + kInterval;
    return check_->cancelled();
  }

 private:
  CancelCheck* check_;
  uint32_t members_ = 0;
  uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point next_;
};

}  // namespace zu::zip
