#include "zip/entries.h"

#include <algorithm>
#include <cstring>

#include "zip/records.h"

namespace zu::zip {

namespace {

// Replaces saturated fields by the values of the zip64 extended-information
// block, in the fixed order of that block. A malformed extra field leaves the
// saturated values in place.
void apply_zip64_extra(CentralEntry& e, uint32_t cd_local_offset) {
  LeCursor extra(e.extra);
  while (extra.remaining() >= 4) {
    uint16_t id = 0, size = 0;
    extra.u16(id);
    extra.u16(size);
    if (size > extra.remaining()) return;
    LeCursor block(extra.take(size));
    if (id != kZip64ExtraId) continue;
    if (e.uncompressed_size == kSaturated32 && !block.u64(e.uncompressed_size)) return;
    if (e.compressed_size == kSaturated32 && !block.u64(e.compressed_size)) return;
    if (cd_local_offset == kSaturated32 && !block.u64(e.local_header_offset)) return;
    if (e.disk_start == kSaturated16) block.u32(e.disk_start);
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
    Result<size_t> got = archive_.file.read_some(next_offset_, buffer_.data() + fill_,
                                                 static_cast<size_t>(budget));
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

CentralEntry ZipEntries::decode(const uint8_t* fixed, const uint8_t* var) const {
  LeView h({fixed, kCentralHeaderSize});
  CentralEntry e;
  e.version_made_by = h.u16(kCdVersionMadeBy);
  e.version_needed = h.u16(kCdVersionNeeded);
  e.flags = h.u16(kCdFlags);
  e.method = h.u16(kCdMethod);
  e.modified = h.u32(kCdModified);
  e.crc32 = h.u32(kCdCrc32);
  e.compressed_size = h.u32(kCdCompressedSize);
  e.uncompressed_size = h.u32(kCdUncompressedSize);
  const size_t name_len = h.u16(kCdNameLength);
  const size_t extra_len = h.u16(kCdExtraLength);
  const size_t comment_len = h.u16(kCdCommentLength);
  e.disk_start = h.u16(kCdDiskStart);
  e.internal_attrs = h.u16(kCdInternalAttrs);
  e.external_attrs = h.u32(kCdExternalAttrs);
  const uint32_t cd_local_offset = h.u32(kCdLocalHeaderOffset);
  e.local_header_offset = cd_local_offset;
  e.name = {var, name_len};
  e.extra = {var + name_len, extra_len};
  e.comment = {var + name_len + extra_len, comment_len};

  if (e.disk_start == kSaturated16 || cd_local_offset == kSaturated32 ||
      e.compressed_size == kSaturated32 || e.uncompressed_size == kSaturated32) {
    apply_zip64_extra(e, cd_local_offset);
  }
  // An offset that overflows cannot be in the file: saturate it, so the
  // local-header read fails instead of wrapping to some other record.
  if (__builtin_add_overflow(e.local_header_offset, archive_.base_offset, &e.local_header_offset)) {
    e.local_header_offset = UINT64_MAX;
  }
  return e;
}

}  // namespace zu::zip
