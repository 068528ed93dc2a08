// Streaming walk of the central directory through the reader's work buffer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "error/zu_error.h"
#include "zip/archive.h"
#include "zip/records.h"

namespace zu::zip {

// What the reader uses of one central-directory record, after zip64
// substitution. `name` points into the work buffer and is valid only until
// the next call to next_entry() or next_match().
struct CentralEntry {
  std::span<const uint8_t> name;
  uint16_t extra_length = 0;  // the central one; a guess at the local one
  uint16_t flags = 0;
  uint32_t crc32 = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint64_t local_header_offset = 0;  // base_offset already added

  CentralEntry(std::span<const uint8_t> n, uint16_t el, uint16_t f, uint32_t c, uint64_t cs,
               uint64_t us, uint64_t lho)
      : name(n),
        extra_length(el),
        flags(f),
        crc32(c),
        compressed_size(cs),
        uncompressed_size(us),
        local_header_offset(lho) {}
  // Copied field by field, the name as its pointer and its length: every
  // entry is passed on through two wrappers right after it is written, and
  // a copy in wide blocks would load bytes that are still on their way to
  // memory as narrower stores, which stalls the walk on each record.
  CentralEntry(const CentralEntry& o)
      : name(o.name.data(), o.name.size()),
        extra_length(o.extra_length),
        flags(o.flags),
        crc32(o.crc32),
        compressed_size(o.compressed_size),
        uncompressed_size(o.uncompressed_size),
        local_header_offset(o.local_header_offset) {}
  CentralEntry& operator=(const CentralEntry& o) {
    name = std::span<const uint8_t>(o.name.data(), o.name.size());
    extra_length = o.extra_length;
    flags = o.flags;
    crc32 = o.crc32;
    compressed_size = o.compressed_size;
    uncompressed_size = o.uncompressed_size;
    local_header_offset = o.local_header_offset;
    return *this;
  }
};

namespace detail {

// Unaligned little-endian loads straight from the buffer. Only used where
// the caller has already made sure the bytes are present.
inline uint16_t load_le16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap16(v);
  return v;
}

inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

}  // namespace detail

// Walks the records from directory_offset up to the (zip64) EOCD; the
// recorded entry count is not consulted. Errors are Zip errors.
//
// A directory has one record per member, so with many members this walk is
// the main cost of opening a file and of every channel request. Records are
// read in place from the work buffer: the name test comes first and looks
// only at the name bytes, and nothing else of a record is decoded unless its
// name passes.
class ZipEntries {
 public:
  ZipEntries(const ZipArchive& archive, std::vector<uint8_t>& buffer);

  // The next record, std::nullopt at the end bound, or an error.
  Result<std::optional<CentralEntry>> next_entry();

  // The next record whose raw name passes `pred` (a callable taking
  // std::span<const uint8_t> and returning bool), std::nullopt when the end
  // bound comes first, or the first error met on the way. Errors and their
  // order are those of calling next_entry() record by record.
  template <class Pred>
  Result<std::optional<CentralEntry>> next_match(Pred&& pred);

 private:
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
  ZuError signature_error(const uint8_t* record) const;
  struct Sizes {
    uint64_t compressed;
    uint64_t uncompressed;
    uint64_t local_header_offset;
  };
  // The sizes and offset after substitution from the record's zip64 extra.
  static Sizes zip64_sizes(Sizes recorded, const uint8_t* fixed, const uint8_t* variable);

  // Everything the reader uses of a record whose name passed; the zip64
  // extra is looked at only when a field is saturated.
  CentralEntry decode(const uint8_t* fixed, const uint8_t* variable) const {
    Sizes sizes{detail::load_le32(fixed + kCdCompressedSize),
                detail::load_le32(fixed + kCdUncompressedSize),
                detail::load_le32(fixed + kCdLocalHeaderOffset)};
    if (detail::load_le16(fixed + kCdDiskStart) == kSaturated16 ||
        sizes.local_header_offset == kSaturated32 || sizes.compressed == kSaturated32 ||
        sizes.uncompressed == kSaturated32) [[unlikely]] {
      sizes = zip64_sizes(sizes, fixed, variable);
    }
    // An offset that overflows cannot be in the file: saturate it, so the
    // local-header read fails instead of wrapping to some other record.
    uint64_t local_header_offset;
    if (__builtin_add_overflow(sizes.local_header_offset, archive_.base_offset,
                               &local_header_offset)) [[unlikely]] {
      local_header_offset = UINT64_MAX;
    }
    return CentralEntry{{variable, detail::load_le16(fixed + kCdNameLength)},
                        detail::load_le16(fixed + kCdExtraLength),
                        detail::load_le16(fixed + kCdFlags),
                        detail::load_le32(fixed + kCdCrc32),
                        sizes.compressed,
                        sizes.uncompressed,
                        local_header_offset};
  }
  const ZipArchive& archive_;
  std::vector<uint8_t>& buffer_;
  size_t pos_ = 0;
  size_t fill_ = 0;
  uint64_t next_offset_;
  const uint64_t end_bound_;
};

template <class Pred>
Result<std::optional<CentralEntry>> ZipEntries::next_match(Pred&& pred) {
  for (;;) {
    if (unparsed() < kCentralHeaderSize) [[unlikely]] {
      ZU_TRY_ASSIGN(bool more, refill_fixed());
      if (!more) return std::optional<CentralEntry>{};
    }
    const uint8_t* record = buffer_.data() + pos_;
    if (detail::load_le32(record) != kCentralHeaderSignature) [[unlikely]] {
      return signature_error(record);
    }
    const size_t name_len = detail::load_le16(record + kCdNameLength);
    const size_t variable = name_len + detail::load_le16(record + kCdExtraLength) +
                            detail::load_le16(record + kCdCommentLength);
    if (unparsed() - kCentralHeaderSize >= variable) [[likely]] {
      const uint8_t* var = record + kCentralHeaderSize;
      pos_ += kCentralHeaderSize + variable;
      if (pred(std::span<const uint8_t>(var, name_len))) {
        return std::optional<CentralEntry>{decode(record, var)};
      }
      continue;
    }
    // The record straddles the end of the buffered bytes.
    uint8_t fixed[kCentralHeaderSize];
    ZU_TRY(refill_variable(fixed, variable));
    const uint8_t* var = buffer_.data() + pos_;
    pos_ += variable;
    if (pred(std::span<const uint8_t>(var, name_len))) {
      return std::optional<CentralEntry>{decode(fixed, var)};
    }
  }
}

}  // namespace zu::zip
