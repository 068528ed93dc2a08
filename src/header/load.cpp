#include "header/load.h"

#include <algorithm>

#include "header/utf8.h"

namespace zu {

Result<ZuHeader> read_header(zip::ZipReader& reader) {
  auto is_header = [](std::span<const uint8_t> name) {
    return std::equal(name.begin(), name.end(), kHeaderMemberName.begin(), kHeaderMemberName.end(),
                      [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  };
  ZU_TRY_ASSIGN(std::vector<std::vector<uint8_t>> files, reader.get_files(is_header));
  if (files.empty()) return ZuError::no_file("shared-data header");
  const std::vector<uint8_t>& bytes = files.front();
  if (auto err = utf8_error(bytes)) return ZuError::invalid_utf8_header(std::move(*err));
  return ZuHeader::from_str(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace zu
