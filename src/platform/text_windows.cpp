#ifdef _WIN32

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "platform/text.h"

namespace zu::platform {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// True when the unsigned decimal literal `s` (digits, point, exponent)
// names a magnitude of at least 1, i.e. when a conversion that ran out of
// range overflowed rather than underflowed. The exponent is saturated, so
// no length of digits can overflow the count.
bool magnitude_at_least_one(std::string_view s) {
  constexpr int64_t kCap = int64_t{1} << 40;
  int64_t scale = 0;  // decimal exponent of the first non-zero digit, plus one
  bool seen_nonzero = false;
  bool after_point = false;
  size_t i = 0;
  for (; i < s.size() && (is_digit(s[i]) || s[i] == '.'); ++i) {
    if (s[i] == '.') {
      after_point = true;
    } else if (!seen_nonzero) {
      if (s[i] != '0') {
        seen_nonzero = true;
        if (!after_point) scale = 1;
      } else if (after_point) {
        --scale;
      }
    } else if (!after_point && scale < kCap) {
      ++scale;
    }
  }
  if (!seen_nonzero) return false;
  int64_t exponent = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    for (; i < s.size() && is_digit(s[i]); ++i) {
      if (exponent < kCap) exponent = exponent * 10 + (s[i] - '0');
    }
  }
  return (negative ? scale - exponent : scale + exponent) > 0;
}

}  // namespace

const char* find_last(const char* text, char byte, size_t count) noexcept {
  while (count > 0) {
    --count;
    if (text[count] == byte) return text + count;
  }
  return nullptr;
}

// from_chars is correctly rounded and never looks at the locale; unlike
// strtod it takes no '+' and, out of range, need not store a value.
std::optional<double> parse_double(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  double v = 0.0;
  const char* first = text.data();
  const char* last = first + text.size();
  const std::from_chars_result r = std::from_chars(first, last, v, std::chars_format::general);
  if (r.ptr != last) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) {
    v = magnitude_at_least_one(text) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (r.ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -v : v;
}

}  // namespace zu::platform

#endif  // _WIN32
