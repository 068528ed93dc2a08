// A read-only file read only with positioned reads, so no call depends on a
// shared file position. Owns its file and closes it when destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "error/zu_error.h"
#include "platform/file.h"
#include "zip/fetched_ranges.h"

namespace zu::zip {

class FileReader {
 public:
  // Opens `path` read-only. A path with an embedded NUL byte is refused
  // with the I/O error "file name contained an unexpected NUL byte".
  static Result<FileReader> open(const std::string& path);

  // Reads `fetched` instead of a local file: its length, and its bytes
  // where they were fetched (a miss is an Io error the source remembers).
  static FileReader over(std::shared_ptr<FetchedRanges> fetched) {
    return FileReader(std::move(fetched));
  }

  // Length of the file.
  Result<uint64_t> length() const;

  // One positioned read of at most `len` bytes at `offset` (retried when
  // interrupted). Returns the count read; 0 means end of file. An offset of
  // 2^63 or more fails with the system's "invalid argument" text.
  Result<size_t> read_some(uint64_t offset, uint8_t* dst, size_t len) const;

  // Reads until `len` bytes are in or the file ends; returns the count.
  Result<size_t> read_up_to(uint64_t offset, uint8_t* dst, size_t len) const;

  // Reads exactly `len` bytes; end of file first is the I/O error
  // "failed to fill whole buffer".
  Result<void> read_exact(uint64_t offset, uint8_t* dst, size_t len) const;

 private:
  explicit FileReader(platform::File file) : file_(std::move(file)) {}
  explicit FileReader(std::shared_ptr<FetchedRanges> fetched) : fetched_(std::move(fetched)) {}
  std::optional<platform::File> file_;       // a local file, or
  std::shared_ptr<FetchedRanges> fetched_;  // the fetched bytes of a remote one
};

inline constexpr const char* kFailedToFill = "failed to fill whole buffer";

}  // namespace zu::zip
