// Bytes of a file that lives elsewhere (a web server, an object store),
// fetched by the caller in ranges and read by the archive reader as if they
// were the file. A read of a byte that was not fetched fails, and the source
// remembers the first such miss, so that the caller can fetch it and try
// again. The source never fetches anything itself.
//
// Safe to use from several threads at once (one mutex). Nothing here
// touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error/zu_error.h"

namespace zu::zip {

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

class FetchedRanges {
 public:
  // A file of `length` bytes, none of them fetched yet.
  explicit FetchedRanges(uint64_t length) : length_(length) {}

  uint64_t length() const { return length_; }

  // Keeps `bytes`, the file's bytes from `offset`. Bytes past the file's
  // length are dropped. `transient` buffers are the ones drop_transient
  // frees (those of one read); the others stay while the source lives.
  void add(uint64_t offset, std::vector<uint8_t> bytes, bool transient);

  // At most `len` bytes at `offset`, as far as the fetched bytes run on
  // from there without a gap, across the ends of buffers (fewer only where
  // a gap or the file's end comes first); 0 at or past the file's end. A
  // first byte not fetched is an Io error, and the first miss is remembered.
  Result<size_t> read_some(uint64_t offset, uint8_t* dst, size_t len) const;

  // The first miss since the last call (the range asked for, clipped to the
  // file's end), forgotten once returned.
  std::optional<ByteRange> take_miss();

  void drop_transient();

  // Bytes held in all buffers.
  uint64_t held() const;

 private:
  struct Buffer {
    std::vector<uint8_t> bytes;
    bool transient = false;
  };

  // The fetched bytes from `offset` to the end of the buffer that reaches
  // furthest past it; empty when none holds `offset`. Needs the mutex held.
  std::span<const uint8_t> held_from(uint64_t offset) const;

  const uint64_t length_;
  mutable std::mutex mutex_;
  std::map<uint64_t, Buffer> buffers_;  // by starting offset
  uint64_t longest_ = 0;                // no buffer ever held was longer
  mutable std::optional<ByteRange> miss_;
};

}  // namespace zu::zip
