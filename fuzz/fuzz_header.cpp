// libFuzzer target: treats the input as the text of the header member.
//
// fuzz_data_file reaches the header only through a DEFLATE stream and its
// CRC-32, which random mutations rarely keep intact; this target starts
// where header loading hands over (UTF-8 check, then the parser) and walks
// the catalogue and every conversion chain of the parsed tree. It also
// checks the decimal parser against std::from_chars, which shares no code
// with it: every text the parser accepts must be read by from_chars in
// full, to the same value.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "header/header.h"
#include "header/number.h"
#include "header/utf8.h"

#include "common.h"

namespace {

// The decimal exponent of the leading nonzero digit of a finite decimal
// text (sign already removed), clamped to +-100000; 0 for a zero text.
// Enough to tell an overflow from an underflow.
long leading_exponent(std::string_view digits) {
  long int_digits = 0;   // digits before the point, from the first nonzero one
  long frac_zeros = 0;   // zeros after the point before the first nonzero digit
  bool seen_point = false, seen_nonzero = false;
  size_t i = 0;
  for (; i < digits.size() && digits[i] != 'e' && digits[i] != 'E'; ++i) {
    const char c = digits[i];
    if (c == '.') {
      seen_point = true;
    } else if (!seen_point) {
      if (c != '0') seen_nonzero = true;
      if (seen_nonzero) ++int_digits;
    } else if (!seen_nonzero) {
      if (c != '0') {
        seen_nonzero = true;
      } else {
        ++frac_zeros;
      }
    }
  }
  if (!seen_nonzero) return 0;
  long exp = 0;
  if (i < digits.size()) {
    ++i;
    const bool negative = i < digits.size() && digits[i] == '-';
    if (i < digits.size() && (digits[i] == '-' || digits[i] == '+')) ++i;
    for (; i < digits.size(); ++i) exp = std::min(exp * 10 + (digits[i] - '0'), 100000L);
    if (negative) exp = -exp;
  }
  return exp + (int_digits > 0 ? int_digits - 1 : -(frac_zeros + 1));
}

// parse_decimal promises correctly rounded binary64 for its grammar, which
// is a subset of from_chars's once a leading '+' is dropped; from_chars is
// correctly rounded too, and leaves out-of-range values to its caller:
// those must be infinity (overflow) or zero (underflow), with the sign.
void check_number(std::string_view text) {
  auto parsed = zu::parse_decimal(text);
  if (!parsed) return;
  const double got = parsed.value();
  const bool negative = !text.empty() && text.front() == '-';
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
  double expected = 0.0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), expected);
  if (end != body.data() + body.size()) __builtin_trap();
  if (ec == std::errc::result_out_of_range) {
    expected = leading_exponent(body) >= 0 ? HUGE_VAL : 0.0;
  } else if (ec != std::errc()) {
    __builtin_trap();
  }
  if (negative) expected = -expected;
  if (std::isnan(expected) != std::isnan(got)) __builtin_trap();
  if (!std::isnan(got) && std::memcmp(&expected, &got, sizeof got) != 0) __builtin_trap();
}

void check_leaves(const zu::Node& root) {
  std::vector<const zu::Node*> todo{&root};
  while (!todo.empty()) {
    const zu::Node* node = todo.back();
    todo.pop_back();
    if (auto map = node->as_map()) {
      for (const auto& [key, child] : map.value()->entries) todo.push_back(&child);
    } else if (auto text = node->as_value()) {
      check_number(text.value());
    }
  }
}

void convert(const zu::ZuHeader& header, std::string_view name, std::string_view unit) {
  zu::DiscardDiagnostics diagnostics;
  auto conversion = header.convert_to_type(name, unit, diagnostics);
  if (!conversion) (void)conversion.error().message();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (auto err = zu::utf8_error(std::span<const uint8_t>(data, size))) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = zu::ZuHeader::from_str(text);
  if (!parsed) {
    (void)parsed.error().message();
    return 0;
  }
  const zu::ZuHeader header = parsed.take();
  check_leaves(header.data());

  auto channels = header.get_channels();
  if (!channels) {
    (void)channels.error().message();
    convert(header, "", "");
    return 0;
  }
  for_each_channel_unit(
      header, channels.value(),
      [&](std::string_view name, std::string_view unit) { convert(header, name, unit); });
  // A name that no channel carries.
  convert(header, "\x01", "");
  return 0;
}
