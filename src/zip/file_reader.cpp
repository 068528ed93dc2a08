#include "zip/file_reader.h"

namespace zu::zip {

Result<FileReader> FileReader::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return ZuError::io("file name contained an unexpected NUL byte");
  }
  ZU_TRY_ASSIGN(platform::File file, platform::File::open_read_only(path));
  return FileReader(std::move(file));
}

Result<uint64_t> FileReader::length() const {
  if (fetched_) return fetched_->length();
  return file_->size();
}

Result<size_t> FileReader::read_some(uint64_t offset, uint8_t* dst, size_t len) const {
  if (fetched_) return fetched_->read_some(offset, dst, len);
  return file_->read_at(offset, dst, len);
}

Result<size_t> FileReader::read_up_to(uint64_t offset, uint8_t* dst, size_t len) const {
  size_t got = 0;
  while (got < len) {
    ZU_TRY_ASSIGN(size_t n, read_some(offset + got, dst + got, len - got));
    if (n == 0) break;
    got += n;
  }
  return got;
}

Result<void> FileReader::read_exact(uint64_t offset, uint8_t* dst, size_t len) const {
  ZU_TRY_ASSIGN(size_t got, read_up_to(offset, dst, len));
  if (got < len) return ZuError::io(kFailedToFill);
  return {};
}

}  // namespace zu::zip
