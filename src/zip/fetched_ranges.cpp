#include "zip/fetched_ranges.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace zu::zip {

void FetchedRanges::add(uint64_t offset, std::vector<uint8_t> bytes, bool transient) {
  if (offset >= length_ || bytes.empty()) return;
  if (bytes.size() > length_ - offset) bytes.resize(static_cast<size_t>(length_ - offset));
  std::lock_guard<std::mutex> lock(mutex_);
  Buffer& slot = buffers_[offset];
  // A longer buffer at the same offset wins; a shorter one adds nothing.
  if (slot.bytes.size() >= bytes.size()) {
    slot.transient = slot.transient && transient;
    return;
  }
  slot.bytes = std::move(bytes);
  slot.transient = transient;
  longest_ = std::max<uint64_t>(longest_, slot.bytes.size());
}

std::span<const uint8_t> FetchedRanges::held_from(uint64_t offset) const {
  // Of the buffers starting at or before `offset`, the one reaching
  // furthest; buffers may overlap, so look back over all that start
  // closer than the longest buffer's length.
  std::span<const uint8_t> best;
  for (auto it = buffers_.upper_bound(offset); it != buffers_.begin();) {
    --it;
    if (offset - it->first >= longest_) break;
    const uint64_t end = it->first + it->second.bytes.size();
    if (end > offset && end - offset > best.size()) {
      const size_t skip = static_cast<size_t>(offset - it->first);
      best = std::span<const uint8_t>(it->second.bytes).subspan(skip);
    }
  }
  return best;
}

Result<size_t> FetchedRanges::read_some(uint64_t offset, uint8_t* dst, size_t len) const {
  if (offset >= length_ || len == 0) return size_t{0};
  const size_t wanted = static_cast<size_t>(std::min<uint64_t>(len, length_ - offset));
  std::lock_guard<std::mutex> lock(mutex_);
  // On from one buffer into the next while the fetched bytes run on, as a
  // read of a local file would: a walk whose reads stopped at every
  // buffer's end could meet the end of the directory at another place
  // than the same walk over the file, and fail where that one succeeds.
  size_t copied = 0;
  while (copied < wanted) {
    const std::span<const uint8_t> held = held_from(offset + copied);
    if (held.empty()) break;
    const size_t n = std::min(held.size(), wanted - copied);
    std::memcpy(dst + copied, held.data(), n);
    copied += n;
  }
  if (copied == 0) {
    if (!miss_) miss_ = ByteRange{offset, wanted};
    return ZuError::io("bytes at offset " + std::to_string(offset) + " were not fetched");
  }
  return copied;
}

std::optional<ByteRange> FetchedRanges::take_miss() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<ByteRange> miss = miss_;
  miss_.reset();
  return miss;
}

void FetchedRanges::drop_transient() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(buffers_, [](const auto& item) { return item.second.transient; });
}

uint64_t FetchedRanges::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t total = 0;
  for (const auto& item : buffers_) total += item.second.bytes.size();
  return total;
}

}  // namespace zu::zip
