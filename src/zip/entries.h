// Streaming walk of the central directory through the reader's work buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error/zu_error.h"
#include "zip/archive.h"
#include "zip/entry.h"
#include "zip/records.h"

namespace zu::zip {

// Walks the records from directory_offset up to the (zip64) EOCD; the
// recorded entry count is not consulted. Errors are Zip errors, or Io
// errors when the file cannot be read.
//
// A directory has one record per member, so with many members this walk is
// the main cost of opening a file and of every channel request. Records are
// read in place from the work buffer: the name test comes first and looks
// only at the name bytes, and nothing else of a record is decoded unless its
// name passes.
class ZipEntries {
 public:
  ZipEntries(const ZipArchive& archive, std::vector<uint8_t>& buffer);
  // A walk that starts at `first_record`, the offset of a record (or what
  // a caller takes for one) inside the directory.
  ZipEntries(const ZipArchive& archive, std::vector<uint8_t>& buffer, uint64_t first_record);

  // The file offset of the record the walk looks at next.
  uint64_t record_offset() const { return next_offset_ - unparsed(); }
  // Ends the walk (next_match gives nullopt) as soon as the next record
  // would start at or past `offset`; UINT64_MAX lifts the stop. A walk
  // ended there by a stop has record_offset() == offset exactly when a
  // record starts at `offset`.
  void stop_at(uint64_t offset) { stop_at_ = offset; }

  // The next record whose raw name passes `pred` (a callable taking
  // std::span<const uint8_t> and returning bool), std::nullopt when the end
  // bound comes first, or the first error met on the way, records being
  // checked in order.
  template <class Pred>
  Result<std::optional<ZipEntry>> next_match(Pred&& pred) {
    ZipEntry entry;
    ZU_TRY_ASSIGN(const bool found, next_match_into(pred, entry));
    if (!found) return std::optional<ZipEntry>{};
    return std::optional<ZipEntry>{entry};
  }
  // The same, writing the record into `out`; false at the end bound. The
  // walks that visit most records use it: an entry wrapped in an optional
  // in a result is written field by field and then read back whole, which
  // stalls the processor on every record.
  template <class Pred>
  Result<bool> next_match_into(Pred&& pred, ZipEntry& out);

 private:
  static ZuError signature_error(uint32_t actual);

  size_t unparsed() const { return fill_ - pos_; }
  // Makes at least `need` unparsed bytes present, moving the unparsed tail
  // to the buffer start first.
  Result<void> ensure(size_t need);
  // The slow half of a step: refills the buffer so that the fixed part of
  // the next record is present. Returns false at the end bound.
  Result<bool> refill_fixed();
  // The slow half of a step: the variable part of the record whose fixed
  // part starts at pos_ runs past the buffered bytes. Copies the fixed part
  // to `fixed`, refills, and leaves pos_ at the variable part.
  Result<void> refill_variable(uint8_t (&fixed)[kCentralHeaderSize], size_t variable);
  struct Sizes {
    uint64_t compressed;
    uint64_t uncompressed;
    uint64_t local_header_offset;
  };
  // The sizes and offset after substitution from the zip64 extra field.
  static Sizes zip64_sizes(Sizes recorded, std::span<const uint8_t> extra_field);

  // Everything the reader uses of a record whose name passed; the zip64
  // extra is looked at only when a field is saturated.
  ZipEntry decode(const uint8_t* fixed, const uint8_t* variable) const {
    ReadBuf h(fixed, kCentralHeaderSize);
    h.skip(8);  // signature, versions made by and needed
    const uint16_t flags = h.u16();
    h.skip(6);  // method, modification time and date
    const uint32_t crc32 = h.u32();
    Sizes sizes;
    sizes.compressed = h.u32();
    sizes.uncompressed = h.u32();
    const uint16_t name_len = h.u16();
    const uint16_t extra_len = h.u16();
    h.skip(2);  // comment length
    const uint16_t disk_start = h.u16();
    h.skip(6);  // internal and external attributes
    sizes.local_header_offset = h.u32();
    if (disk_start == kSaturated16 || sizes.local_header_offset == kSaturated32 ||
        sizes.compressed == kSaturated32 || sizes.uncompressed == kSaturated32) [[unlikely]] {
      sizes = zip64_sizes(sizes, {variable + name_len, extra_len});
    }
    // An offset that overflows cannot be in the file: saturate it, so the
    // local-header read fails instead of wrapping to some other record.
    uint64_t local_header_offset;
    if (platform::add_overflow(sizes.local_header_offset, archive_.base_offset,
                               &local_header_offset)) [[unlikely]] {
      local_header_offset = UINT64_MAX;
    }
    return ZipEntry{sizes.compressed,
                    sizes.uncompressed,
                    local_header_offset,
                    crc32,
                    uint32_t{name_len} + extra_len,
                    (flags & kFlagDataDescriptor) != 0};
  }

  const ZipArchive& archive_;
  std::vector<uint8_t>& buffer_;
  size_t pos_ = 0;
  size_t fill_ = 0;
  uint64_t next_offset_;
  const uint64_t end_bound_;
  uint64_t stop_at_ = UINT64_MAX;
};

template <class Pred>
Result<bool> ZipEntries::next_match_into(Pred&& pred, ZipEntry& out) {
  for (;;) {
    if (record_offset() >= stop_at_) [[unlikely]]
      return false;
    if (unparsed() < kCentralHeaderSize) [[unlikely]] {
      ZU_TRY_ASSIGN(bool more, refill_fixed());
      if (!more) return false;
    }
    const uint8_t* record = buffer_.data() + pos_;
    ReadBuf h(record, kCentralHeaderSize);
    const uint32_t signature = h.u32();
    if (signature != kCentralHeaderSignature) [[unlikely]] {
      return signature_error(signature);
    }
    h.skip(24);  // versions, flags, method, time, date, CRC-32, sizes
    const size_t name_len = h.u16();
    const size_t extra_len = h.u16();
    const size_t variable = name_len + extra_len + h.u16();  // and the comment
    if (unparsed() - kCentralHeaderSize >= variable) [[likely]] {
      const uint8_t* var = record + kCentralHeaderSize;
      pos_ += kCentralHeaderSize + variable;
      if (pred(std::span<const uint8_t>(var, name_len))) {
        out = decode(record, var);
        return true;
      }
      continue;
    }
    // The record straddles the end of the buffered bytes.
    uint8_t fixed[kCentralHeaderSize];
    ZU_TRY(refill_variable(fixed, variable));
    const uint8_t* var = buffer_.data() + pos_;
    pos_ += variable;
    if (pred(std::span<const uint8_t>(var, name_len))) {
      out = decode(fixed, var);
      return true;
    }
  }
}

}  // namespace zu::zip
