// Opening a ZIP archive: end-of-central-directory search, zip64 records and
// the location of the central directory (including data prepended to the
// archive).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "error/zu_error.h"
#include "zip/file_reader.h"

namespace zu::zip {

struct ZipArchive {
  uint64_t eocd_offset = 0;
  uint64_t zip64_eocd_offset = 0;  // 0 when the archive is not zip64
  uint64_t cd_size = 0;
  uint64_t directory_offset = 0;   // first central-directory record
  uint64_t base_offset = 0;        // bytes prepended before the archive
  uint64_t file_length = 0;
  FileReader file;
  // A zip64 end record found although the end record is not saturated
  // (UINT64_MAX when there is none); the directory ends where it starts.
  uint64_t unsaturated_zip64_offset = UINT64_MAX;

  // End bound of the central directory.
  uint64_t head_eocd_offset() const {
    if (zip64_eocd_offset != 0) return zip64_eocd_offset;
    return std::min(eocd_offset, unsaturated_zip64_offset);
  }
};

// Locates the archive's directory in `file`, searching at most the last
// `max_search_space` bytes for the end-of-central-directory record, using
// `buffer` (kBufferSize bytes) as scratch space. A failing read is an Io
// error, anything else a Zip error; on failure `file` is destroyed (closed)
// with the rest.
Result<ZipArchive> locate_in_file(FileReader file, std::vector<uint8_t>& buffer,
                                  uint64_t max_search_space);

}  // namespace zu::zip
