// libFuzzer target: treats the input as the text of the header member.
//
// fuzz_data_file reaches the header only through a DEFLATE stream and its
// CRC-32, which random mutations rarely keep intact; this target starts
// where header loading hands over (UTF-8 check, then the parser) and walks
// the catalogue and every conversion chain of the parsed tree. It also
// checks the decimal parser against the C library: every text the parser
// accepts must be read by strtod in full, to the same value.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
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

// parse_decimal promises correctly rounded binary64 for its grammar, which
// is a subset of strtod's; glibc's strtod is correctly rounded too.
void check_number(std::string_view text) {
  auto parsed = zu::parse_decimal(text);
  if (!parsed) return;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const double expected = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) __builtin_trap();
  const double got = parsed.value();
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
