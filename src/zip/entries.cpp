#include "zip/entries.h"

#include <algorithm>
#include <cstring>

#include "zip/records.h"

namespace zu::zip {

namespace {

// Replaces saturated fields by the values of the zip64 extended-information
// block, in the fixed order of that block. A malformed extra field leaves the
// saturated values in place. The disk number, last in the block, is not used.
void apply_zip64_extra(uint64_t& uncompressed, uint64_t& compressed, uint64_t& local_header_offset,
                       std::span<const uint8_t> extra_field) {
  const bool offset_saturated = local_header_offset == kSaturated32;
  LeCursor extra(extra_field);
  while (extra.remaining() >= 4) {
    uint16_t id = 0, size = 0;
    extra.u16(id);
    extra.u16(size);
    if (size > extra.remaining()) return;
    LeCursor block(extra.take(size));
    if (id != kZip64ExtraId) continue;
    if (uncompressed == kSaturated32 && !block.u64(uncompressed)) return;
    if (compressed == kSaturated32 && !block.u64(compressed)) return;
    if (offset_saturated && !block.u64(local_header_offset)) return;
    return;
  }
}

}  // namespace

ZipEntries::ZipEntries(const ZipArchive& archive, std::vector<uint8_t>& buffer)
    : archive_(archive),
      buffer_(buffer),
      next_offset_(archive.directory_offset),
      end_bound_(archive.head_eocd_offset()) {}

Result<void> ZipEntries::ensure(size_t need) {
  if (unparsed() >= need) return {};
  std::memmove(buffer_.data(), buffer_.data() + pos_, unparsed());
  fill_ -= pos_;
  pos_ = 0;
  const uint64_t before_end = end_bound_ > next_offset_ ? end_bound_ - next_offset_ : 0;
  const uint64_t limit = std::min<uint64_t>(buffer_.size() - fill_, before_end);
  if (fill_ + limit < need) return ZuError::zip(ZipError::of(ZipErrorKind::BufferTooSmall));
  uint64_t budget = limit;
  while (fill_ < need) {
    Result<size_t> got =
        archive_.file.read_some(next_offset_, buffer_.data() + fill_, static_cast<size_t>(budget));
    if (!got) return got.take_error().into_zip();
    if (got.value() == 0) return ZuError::zip(ZipError::of(ZipErrorKind::Eof));
    fill_ += got.value();
    next_offset_ += got.value();
    budget -= got.value();
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

ZuError ZipEntries::signature_error(const uint8_t* record) const {
  return ZuError::zip(ZipError::signature(kCentralHeaderSignature, detail::load_le32(record)));
}

Result<std::optional<CentralEntry>> ZipEntries::next_entry() {
  return next_match([](std::span<const uint8_t>) { return true; });
}

ZipEntries::Sizes ZipEntries::zip64_sizes(Sizes recorded, const uint8_t* fixed,
                                          const uint8_t* variable) {
  const size_t name_len = detail::load_le16(fixed + kCdNameLength);
  const size_t extra_len = detail::load_le16(fixed + kCdExtraLength);
  apply_zip64_extra(recorded.uncompressed, recorded.compressed, recorded.local_header_offset,
                    {variable + name_len, extra_len});
  return recorded;
}

}  // namespace zu::zip
