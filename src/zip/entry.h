// One member as the directory walk finds it and the member reader reads it.
#pragma once

#include <cstdint>

namespace zu::zip {

// What the reader uses of a central-directory record, after substitution
// from its zip64 extra field.
struct ZipEntry {
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint64_t local_header_offset = 0;  // base_offset already added
  uint32_t crc32 = 0;
  // Name plus extra length of the central record: the usual length of the
  // local header's variable part, so one read can cover header and data.
  uint32_t local_variable_guess = 0;
  bool has_data_descriptor = false;
};

}  // namespace zu::zip
