// Loading the header member of an opened data file.
#pragma once

#include "error/zu_error.h"
#include "header/header.h"
#include "zip/zip_reader.h"

namespace zu {

inline constexpr std::string_view kHeaderMemberName = "shared-data/header.properties";

// Reads the member named exactly "shared-data/header.properties" (the first
// one, if several), checks that it is UTF-8 and parses it. Errors: those of
// get_files, NoFile("shared-data header"), InvalidUtf8Header, and the
// parser's.
Result<ZuHeader> read_header(zip::ZipReader& reader);

}  // namespace zu
