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
}

Result<size_t> FetchedRanges::read_some(uint64_t offset, uint8_t* dst, size_t len) const {
  if (offset >= length_ || len == 0) return size_t{0};
  const uint64_t wanted = std::min<uint64_t>(len, length_ - offset);
  std::lock_guard<std::mutex> lock(mutex_);
  // Of the buffers starting at or before `offset`, the one reaching
  // furthest; buffers may overlap, so look back over all of them.
  const uint8_t* from = nullptr;
  uint64_t available = 0;
  for (auto it = buffers_.upper_bound(offset); it != buffers_.begin();) {
    --it;
    const uint64_t end = it->first + it->second.bytes.size();
    if (end > offset && end - offset > available) {
      available = end - offset;
      from = it->second.bytes.data() + (offset - it->first);
    }
  }
  if (from == nullptr) {
    if (!miss_) miss_ = ByteRange{offset, wanted};
    return ZuError::io("bytes at offset " + std::to_string(offset) + " were not fetched");
  }
  const size_t n = static_cast<size_t>(std::min(available, wanted));
  std::memcpy(dst, from, n);
  return n;
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
