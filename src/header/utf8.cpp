#include "header/utf8.h"

namespace zu {

namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Allowed range of the second byte of a 3- or 4-byte sequence: it rules out
// overlong forms, surrogates and code points above U+10FFFF.
bool second_byte_ok(uint8_t first, uint8_t second) {
  switch (first) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return is_continuation(second);
  }
}

int sequence_width(uint8_t first) {
  if (first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) return 2;
  if (first >= 0xE0 && first <= 0xEF) return 3;
  if (first >= 0xF0 && first <= 0xF4) return 4;
  return 0;
}

std::string invalid(int len, size_t at) {
  return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
         std::to_string(at);
}

std::string incomplete(size_t at) {
  return "incomplete utf-8 byte sequence from index " + std::to_string(at);
}

}  // namespace

std::optional<std::string> utf8_error(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t first = bytes[i];
    const int width = sequence_width(first);
    if (width == 1) {
      ++i;
      continue;
    }
    if (width == 0) return invalid(1, i);
    // Each following byte is checked as soon as it exists; running out of
    // input before a bad byte is found makes the sequence incomplete.
    if (i + 1 >= n) return incomplete(i);
    if (width == 2 ? !is_continuation(bytes[i + 1]) : !second_byte_ok(first, bytes[i + 1])) {
      return invalid(1, i);
    }
    for (int k = 2; k < width; ++k) {
      const size_t at = i + static_cast<size_t>(k);
      if (at >= n) return incomplete(i);
      if (!is_continuation(bytes[at])) return invalid(k, i);
    }
    i += static_cast<size_t>(width);
  }
  return std::nullopt;
}

}  // namespace zu
