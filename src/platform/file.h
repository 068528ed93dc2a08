// The operating system's side of reading a data file: a file opened
// read-only and read only with positioned reads, and the wording of the
// system's error codes. This folder is the one place in the core that
// calls the operating system directly; everything else goes through it.
// No function here touches a Python object or needs the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "error/zu_error.h"

namespace zu::platform {

// The system's text for error code `code` (errno on POSIX, GetLastError()
// on Windows) as "<description> (os error <code>)".
std::string os_error_text(int code);

// An open, read-only file. Owns its handle and closes it when destroyed.
class File {
 public:
  // Opens `path` for reading. POSIX: the bytes are the path as given; a
  // FIFO without a writer opens at once instead of waiting for one.
  // Windows: `path` is UTF-8 and is opened through its wide-character
  // form, sharing read, write and delete access, so the program recording
  // the file can go on writing it and others can read or rename it.
  // Errors: Io with os_error_text of the system's code.
  static Result<File> open_read_only(const std::string& path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Length of the file in bytes. Errors: Io (for example on a pipe).
  Result<uint64_t> size() const;

  // One positioned read of at most `len` bytes at `offset`; no file
  // position is shared between calls. Returns the count read, 0 at or past
  // the end of the file. An interrupted read is retried. An offset of 2^63
  // or more is refused with the system's "invalid argument" text.
  Result<size_t> read_at(uint64_t offset, uint8_t* dst, size_t len) const;

 private:
  // -1 means "no file" for both a POSIX descriptor and a Windows HANDLE
  // (INVALID_HANDLE_VALUE).
  explicit File(intptr_t handle) : handle_(handle) {}
  void close() noexcept;

  intptr_t handle_ = -1;
};

}  // namespace zu::platform
