// An open data file: its location, its archive reader and its parsed header.
#pragma once

#include <string>

#include "error/zu_error.h"
#include "header/header.h"
#include "zip/zip_reader.h"

namespace zu {

struct DataFile {
  std::string location;  // the path bytes as given, never normalised
  zip::ZipReader reader;
  ZuHeader header;

  // Opens the archive and loads its header; on failure nothing stays open.
  static Result<DataFile> open(std::string location);
};

}  // namespace zu
