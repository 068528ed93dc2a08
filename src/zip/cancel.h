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
// clock only every few members or every few MiB of output, so that a walk
// over many small members pays next to nothing for being interruptible and
// a single large member is still interrupted while it decodes. A null check
// is never asked.
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
    add_bytes(member_size);
    if (++members_ % kStride != 0 && bytes_ < kByteStride) return false;
    return ask_when_due();
  }

  // The same while a member decodes: call with the bytes it has just
  // produced or consumed; the clock is read once per kByteStride of them.
  bool should_stop_within(uint64_t bytes) {
    if (check_ == nullptr) return false;
    add_bytes(bytes);
    if (bytes_ < kByteStride) return false;
    return ask_when_due();
  }

 private:
  void add_bytes(uint64_t n) { bytes_ += n < kByteStride ? n : kByteStride; }  // never wraps

  bool ask_when_due() {
    bytes_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + kInterval;
    return check_->cancelled();
  }

  CancelCheck* check_;
  uint32_t members_ = 0;
  uint64_t bytes_ = 0;
  std::chrono::steady_clock::time_point next_;
};

}  // namespace zu::zip
