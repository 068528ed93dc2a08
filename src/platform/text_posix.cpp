#ifndef _WIN32

// xlocale.h declares strtod_l where locale.h does not (macOS).
#ifdef __APPLE__
#include <xlocale.h>
#endif
#include <locale.h>
#include <string.h>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/text.h"

namespace zu::platform {

namespace {

// The C library's conversion is correctly rounded; a "C" locale object
// keeps it independent of the process locale's decimal point.
locale_t c_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

}  // namespace

const char* find_last(const char* text, char byte, size_t count) noexcept {
#ifdef __GLIBC__
  // memrchr may not be given a null pointer, which an empty text can have.
  if (count == 0) return nullptr;
  return static_cast<const char*>(memrchr(text, byte, count));
#else
  while (count > 0) {
    --count;
    if (text[count] == byte) return text + count;
  }
  return nullptr;
#endif
}

std::optional<double> parse_double(std::string_view text) {
  const std::string copy(text);  // strtod needs a terminated string
  char* end = nullptr;
  const int saved_errno = errno;
  // Overflow yields infinity and underflow zero (or a subnormal), which is
  // exactly what is wanted, so ERANGE is not an error here.
  const double v =
      c_locale() ? strtod_l(copy.c_str(), &end, c_locale()) : std::strtod(copy.c_str(), &end);
  errno = saved_errno;
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return v;
}

}  // namespace zu::platform

#endif  // !_WIN32
