// Streaming walk of the central directory through the reader's work buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error/zu_error.h"
#include "zip/archive.h"

namespace zu::zip {

// One central-directory record. The byte spans point into the work buffer
// and are valid only until the next call to next_entry().
struct CentralEntry {
  std::span<const uint8_t> name;
  std::span<const uint8_t> extra;
  std::span<const uint8_t> comment;
  uint16_t version_made_by = 0;
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t modified = 0;
  uint32_t crc32 = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint32_t disk_start = 0;
  uint16_t internal_attrs = 0;
  uint32_t external_attrs = 0;
  uint64_t local_header_offset = 0;  // base_offset already added
};

// Walks the records from directory_offset up to the (zip64) EOCD; the
// recorded entry count is not consulted. Errors are Zip errors.
class ZipEntries {
 public:
  ZipEntries(const ZipArchive& archive, std::vector<uint8_t>& buffer);

  // The next record, std::nullopt at the end bound, or an error.
  Result<std::optional<CentralEntry>> next_entry();

 private:
  size_t unparsed() const { return fill_ - pos_; }
  // Makes at least `need` unparsed bytes present, moving the unparsed tail
  // to the buffer start first.
  Result<void> ensure(size_t need);

  const ZipArchive& archive_;
  std::vector<uint8_t>& buffer_;
  size_t pos_ = 0;
  size_t fill_ = 0;
  uint64_t next_offset_;
  const uint64_t end_bound_;
};

}  // namespace zu::zip
