// Reading one member: local header, raw DEFLATE decoding limited to the
// member's compressed range, and size and CRC-32 verification.
#pragma once

#include <cstdint>
#include <vector>

#include "error/zu_error.h"
#include "zip/file_reader.h"

namespace zu::zip {

// What pass 1 of get_files keeps of a matching central-directory entry.
struct ZipArchiveEntryWayfinder {
  uint64_t uncompressed_size_hint = 0;
  uint64_t compressed_size = 0;
  uint64_t local_header_offset = 0;  // base_offset already added
  uint32_t crc32 = 0;
  bool has_data_descriptor = false;
};

// Reads, decodes and verifies one member. Local-header failures are Zip
// errors; failures while reading, inflating or verifying the data are Io
// errors ("corrupt deflate stream", the InvalidSize/InvalidChecksum texts,
// "failed to fill whole buffer" for an unreadable data descriptor).
Result<std::vector<uint8_t>> read_member(const FileReader& file, uint64_t file_length,
                                         const ZipArchiveEntryWayfinder& wayfinder);

}  // namespace zu::zip
