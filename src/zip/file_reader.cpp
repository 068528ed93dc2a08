#include "zip/file_reader.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

namespace zu::zip {

Result<FileReader> FileReader::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return ZuError::io("file name contained an unexpected NUL byte");
  }
  // Opening a FIFO without a writer would wait for one forever; without
  // blocking it opens at once and then fails like any unseekable file.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ZuError::os(errno);
  FileReader file(fd);
  // Every later read behaves as on a descriptor opened the usual way.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return ZuError::os(errno);
  }
  return file;
}

FileReader::FileReader(FileReader&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileReader& FileReader::operator=(FileReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileReader::~FileReader() {
  if (fd_ >= 0) ::close(fd_);
}

Result<uint64_t> FileReader::length() const {
  off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0) return ZuError::os(errno);
  return static_cast<uint64_t>(end);
}

Result<size_t> FileReader::read_some(uint64_t offset, uint8_t* dst, size_t len) const {
  if (len == 0) return size_t{0};
  // pread takes a signed offset and refuses a negative one with EINVAL;
  // report that rather than pretend the file ended there.
  if (offset > static_cast<uint64_t>(LLONG_MAX)) return ZuError::os(EINVAL);
  if (len > static_cast<size_t>(SSIZE_MAX)) len = SSIZE_MAX;
  for (;;) {
    ssize_t n = ::pread(fd_, dst, len, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return ZuError::os(errno);
  }
}

Result<size_t> FileReader::read_up_to(uint64_t offset, uint8_t* dst, size_t len) const {
  size_t got = 0;
  while (got < len) {
    ZU_TRY_ASSIGN(size_t n, read_some(offset + got, dst + got, len - got));
    if (n == 0) break;
    got += n;
  }
  return got;
}

Result<void> FileReader::read_exact(uint64_t offset, uint8_t* dst, size_t len) const {
  ZU_TRY_ASSIGN(size_t got, read_up_to(offset, dst, len));
  if (got < len) return ZuError::io(kFailedToFill);
  return {};
}

}  // namespace zu::zip
