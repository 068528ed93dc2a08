#include "zip/entries.h"

#include <algorithm>
#include <cstring>

namespace zu::zip {

ZipEntries::ZipEntries(const ZipArchive& archive, std::vector<uint8_t>& buffer)
    : archive_(archive),
      buffer_(buffer),
      next_offset_(archive.directory_offset),
      end_bound_(archive.head_eocd_offset()) {}

ZipEntries::ZipEntries(const ZipArchive& archive, std::vector<uint8_t>& buffer,
                       uint64_t first_record)
    : archive_(archive),
      buffer_(buffer),
      next_offset_(first_record),
      end_bound_(archive.head_eocd_offset()) {}

Result<void> ZipEntries::ensure(size_t need) {
  if (unparsed() >= need) return {};
  std::memmove(buffer_.data(), buffer_.data() + pos_, unparsed());
  fill_ -= pos_;
  pos_ = 0;
  const uint64_t before_end = end_bound_ > next_offset_ ? end_bound_ - next_offset_ : 0;
  const uint64_t limit = std::min<uint64_t>(buffer_.size() - fill_, before_end);
  if (fill_ + limit < need) return ZuError::zip(zip_text::buffer_too_small());
  uint64_t budget = limit;
  while (fill_ < need) {
    ZU_TRY_ASSIGN(const size_t got, archive_.file.read_some(next_offset_, buffer_.data() + fill_,
                                                            static_cast<size_t>(budget)));
    if (got == 0) return ZuError::zip(zip_text::unexpected_eof());
    fill_ += got;
    next_offset_ += got;
    budget -= got;
  }
  return {};
}

Result<bool> ZipEntries::refill_fixed() {
  if (next_offset_ >= end_bound_) return false;
  ZU_TRY(ensure(kCentralHeaderSize));
  return true;
}

Result<void> ZipEntries::refill_variable(uint8_t (&fixed)[kCentralHeaderSize], size_t variable) {
  std::memcpy(fixed, buffer_.data() + pos_, kCentralHeaderSize);
  pos_ += kCentralHeaderSize;
  return ensure(variable);
}

ZuError ZipEntries::signature_error(uint32_t actual) {
  return ZuError::zip(zip_text::invalid_signature(kCentralHeaderSignature, actual));
}

// Replaces saturated fields by the values of the zip64 extended-information
// block, in the fixed order of that block. A malformed extra field leaves the
// saturated values in place. The disk number, last in the block, is not used.
ZipEntries::Sizes ZipEntries::zip64_sizes(Sizes recorded, std::span<const uint8_t> extra_field) {
  ReadBuf extra(extra_field);
  while (extra.remaining() >= 4) {
    const uint16_t id = extra.u16();
    const uint16_t size = extra.u16();
    if (size > extra.remaining()) break;
    ReadBuf block(extra.sub(size));
    if (id != kZip64ExtraId) continue;
    // Each saturated field in turn; a block too short for one ends it.
    auto substitute = [&block](uint64_t& field) {
      if (field != kSaturated32) return true;
      if (block.remaining() < 8) return false;
      field = block.u64();
      return true;
    };
    (void)(substitute(recorded.uncompressed) && substitute(recorded.compressed) &&
           substitute(recorded.local_header_offset));
    break;
  }
  return recorded;
}

}  // namespace zu::zip
