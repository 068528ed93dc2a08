#ifndef _WIN32

#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <cerrno>

#include "platform/output.h"

namespace zu::platform {

namespace {

// Writes all of `text` to descriptor 1; false when the pipe has no reader.
// Any other failure (closed, not writable, device full) drops the rest.
bool write_to_fd1(std::string_view text) noexcept {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(1, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EPIPE) return false;
    if (n <= 0) return true;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool sigpipe_pending() noexcept {
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

void write_stdout(std::string_view text) noexcept {
  // A pipe without a reader raises SIGPIPE, which kills the process when the
  // program runs with the default action. Block it for this thread during
  // the write and take back the one this write raised, so losing the text
  // is the only effect; a SIGPIPE that was already pending stays pending.
  const int saved_errno = errno;
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  const bool was_pending = sigpipe_pending();
  sigset_t old_mask;
  const bool masked = pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask) == 0;
  const bool reader_gone = !write_to_fd1(text);
  if (masked) {
    // The write raised SIGPIPE on this thread unless the signal is ignored
    // (then none is pending), so sigwait takes it without waiting; every
    // system has sigwait, not every one has a wait with a time limit.
    if (reader_gone && !was_pending && sigpipe_pending()) {
      int taken = 0;
      while (sigwait(&pipe_only, &taken) == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  }
  errno = saved_errno;
}

}  // namespace zu::platform

#endif  // !_WIN32
