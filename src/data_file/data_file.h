// An open data file: the one place where the archive reader, the header and
// channel extraction come together. Callers (the binding, the fuzz targets)
// ask it their questions and never take it apart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "channels/extract.h"
#include "error/zu_error.h"
#include "header/header.h"
#include "zip/zip_reader.h"

namespace zu {

inline constexpr std::string_view kHeaderMemberName = "shared-data/header.properties";

class DataFile {
 public:
  // Opens the archive at `location` (path bytes, used as given) and loads
  // its header: the first member named exactly
  // "shared-data/header.properties", checked to be UTF-8, then parsed.
  // Errors, the first that happens: the archive's (Io, Zip, and those of
  // reading members), NoFile("shared-data header"), InvalidUtf8Header, the
  // parser's. On failure nothing stays open.
  static Result<DataFile> open(std::string location);

  DataFile(DataFile&&) noexcept = default;
  DataFile& operator=(DataFile&&) noexcept = default;
  DataFile(const DataFile&) = delete;
  DataFile& operator=(const DataFile&) = delete;

  // The location as given to open, never normalised.
  const std::string& location() const { return location_; }
  const ZuHeader& header() const { return header_; }

  // The channel names, one per entry of "lcd-info" in file order; they refer
  // into the header tree. The first malformed entry fails the whole list.
  Result<std::vector<std::string_view>> channel_names() const;

  // The unit types of the first channel named `name`, as
  // ZuHeader::get_unit_types gives them.
  Result<std::vector<std::string_view>> unit_types(std::string_view name) const;

  // The values of channel `name` in `segment` converted to `unit_type`,
  // with the (n, n, 100) shape they fill (see ChannelValues). The conversion
  // is resolved first, so header errors come before any archive access;
  // `diagnostics` receives the conversion's line, then the second value.
  // Errors: the header's, the archive's, NoFile(member path). Needs
  // exclusive use: the member walk reuses the reader's work buffer.
  Result<ChannelValues> channel_data(std::string_view name, uint8_t segment,
                                     std::string_view unit_type, DiagnosticSink& diagnostics);

 private:
  DataFile(std::string location, zip::ZipReader reader, ZuHeader header)
      : location_(std::move(location)), reader_(std::move(reader)), header_(std::move(header)) {}

  std::string location_;
  zip::ZipReader reader_;
  ZuHeader header_;
};

}  // namespace zu
