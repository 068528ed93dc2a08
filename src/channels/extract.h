// Channel extraction: every member of one channel in one segment, decoded
// and converted into one flat buffer of 100-value traces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/zu_error.h"
#include "header/header.h"
#include "zip/zip_reader.h"

namespace zu {

inline constexpr size_t kTraceLength = 100;
inline constexpr std::string_view kFloatSampleType = "float-data";

// The traces of all matching members, one after another in directory order.
struct ChannelValues {
  std::vector<double> values;
  size_t member_count = 0;
};

// "/" + segment + "/channels/" + name + ".dat": the name ending that
// selects a channel's members for one segment.
std::string member_path(std::string_view name, uint8_t segment);

// Big-endian 4-byte samples (binary32 for "float-data", signed 32-bit
// otherwise), each converted as raw * multiplier + offset, appended to
// `out`; a member with fewer than 100 samples is padded with quiet NaN.
void append_trace(std::vector<double>& out, const std::vector<uint8_t>& member,
                  const Conversion& conversion);

// Resolves the conversion (header errors come before any archive access),
// reads every member whose name ends with the member path, and decodes
// them. Hands the conversion's line and then the second value to
// `diagnostics`. Errors: the header's, the archive's, NoFile(member path)
// when nothing matches.
Result<ChannelValues> read_channel_values(const ZuHeader& header, zip::ZipReader& reader,
                                          std::string_view name, uint8_t segment,
                                          std::string_view unit_type, DiagnosticSink& diagnostics);

// floor(sqrt(k)), exact for every size_t.
size_t integer_sqrt(size_t k);

}  // namespace zu
