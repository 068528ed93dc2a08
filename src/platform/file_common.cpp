#include <utility>

#include "platform/file.h"

namespace zu::platform {

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

File::~File() { close(); }

}  // namespace zu::platform
