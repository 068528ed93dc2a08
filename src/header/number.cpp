#include "header/number.h"

#include <charconv>
#include <cmath>

#include "platform/text.h"

namespace zu {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignore_case(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

size_t skip_digits(std::string_view s, size_t i) {
  while (i < s.size() && is_digit(s[i])) ++i;
  return i;
}

// Accepts exactly the decimal grammar, without its optional sign.
bool is_decimal_literal(std::string_view s) {
  if (equals_ignore_case(s, "inf") || equals_ignore_case(s, "infinity") ||
      equals_ignore_case(s, "nan")) {
    return true;
  }
  size_t i = skip_digits(s, 0);
  size_t digits = i;
  if (i < s.size() && s[i] == '.') {
    const size_t frac_start = i + 1;
    i = skip_digits(s, frac_start);
    digits += i - frac_start;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t exp_start = i;
    i = skip_digits(s, i);
    if (i == exp_start) return false;
  }
  return i == s.size();
}

}  // namespace

Result<double> parse_decimal(std::string_view text) {
  if (text.empty()) return ZuError::parse_float(ParseFloatKind::Empty);
  std::string_view body = text;
  if (body.front() == '+' || body.front() == '-') body.remove_prefix(1);
  if (!is_decimal_literal(body)) return ZuError::parse_float(ParseFloatKind::Invalid);
  const std::optional<double> v = platform::parse_double(text);
  if (!v) return ZuError::parse_float(ParseFloatKind::Invalid);
  return *v;
}

std::string format_shortest(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Scientific notation gives the shortest round-trip digits; fixed
  // notation would print every exact digit of a large integral value.
  char sci[64];
  const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const std::string_view text(sci, static_cast<size_t>(res.ptr - sci));
  const size_t e_pos = text.find('e');
  std::string out;
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c == '-') out += '-';
    else if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e_pos + 1 + (text[e_pos + 1] == '+'), text.data() + text.size(),
                  exponent);
  // Number of digits before the decimal point.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point));
  }
  return out;
}

}  // namespace zu
