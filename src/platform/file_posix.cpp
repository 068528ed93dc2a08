#ifndef _WIN32

#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

#include "platform/file.h"

namespace zu::platform {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (fills the buffer); these overloads accept whichever the C library has.
[[maybe_unused]] const char* strerror_text(const char* gnu, const char*) { return gnu; }
[[maybe_unused]] const char* strerror_text(int, const char* buf) { return buf; }

int descriptor(intptr_t handle) { return static_cast<int>(handle); }

// An Io error for errno value `code`, which callers get back as the number.
ZuError os_error(int code) { return ZuError::os(os_error_text(code), code); }

}  // namespace

std::string os_error_text(int code) {
  char buf[256] = {0};
  const char* desc = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  return std::string(desc) + " (os error " + std::to_string(code) + ")";
}

Result<File> File::open_read_only(const std::string& path) {
  // Opening a FIFO without a writer would wait for one forever; without
  // blocking it opens at once and then fails like any unseekable file.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  File file(fd);
  // Every later read behaves as on a descriptor opened the usual way.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return os_error(errno);
  }
  return file;
}

void File::close() noexcept {
  if (handle_ >= 0) ::close(descriptor(handle_));
  handle_ = -1;
}

Result<uint64_t> File::size() const {
  const off_t end = ::lseek(descriptor(handle_), 0, SEEK_END);
  if (end < 0) return os_error(errno);
  return static_cast<uint64_t>(end);
}

Result<size_t> File::read_at(uint64_t offset, uint8_t* dst, size_t len) const {
  if (len == 0) return size_t{0};
  // pread takes a signed offset and refuses a negative one with EINVAL;
  // report that rather than pretend the file ended there.
  if (offset > static_cast<uint64_t>(LLONG_MAX)) return os_error(EINVAL);
  if (len > static_cast<size_t>(SSIZE_MAX)) len = SSIZE_MAX;
  for (;;) {
    const ssize_t n = ::pread(descriptor(handle_), dst, len, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return os_error(errno);
  }
}

}  // namespace zu::platform

#endif  // !_WIN32
