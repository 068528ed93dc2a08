#include "channels/data_file.h"

#include "header/load.h"

namespace zu {

Result<DataFile> DataFile::open(std::string location) {
  ZU_TRY_ASSIGN(zip::ZipReader reader, zip::ZipReader::open(location));
  ZU_TRY_ASSIGN(ZuHeader header, read_header(reader));
  return DataFile{std::move(location), std::move(reader), std::move(header)};
}

}  // namespace zu
