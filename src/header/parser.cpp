#include <cstring>

#include "header/header.h"

namespace zu {

namespace {

constexpr const char* kMissingEquals = "missing '='";

Result<void> apply_line(HeaderTree& tree, std::string_view line) {
  if (!line.empty() && line.front() == '#') return {};
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) {
    return ZuError::invalid_header_line(std::string(line), kMissingEquals);
  }
  return tree.set(line.substr(0, eq), line.substr(eq + 1));
}

// The offset just past the line feed before `end`, or 0 for the first line.
size_t line_start(std::string_view text, size_t end) {
  if (end == 0) return 0;
  const void* nl = memrchr(text.data(), '\n', end);
  return nl == nullptr ? 0 : static_cast<size_t>(static_cast<const char*>(nl) - text.data()) + 1;
}

}  // namespace

// Lines apply last to first, so the line nearest the top wins. They are
// found from the end of the text backwards, one at a time: a bad line at the
// end fails at once, and nothing is kept per line.
Result<ZuHeader> ZuHeader::from_str(std::string_view text) {
  HeaderTree tree;
  // Only line feeds end lines, and the text after the last one is ignored.
  const void* last_nl = text.empty() ? nullptr : memrchr(text.data(), '\n', text.size());
  if (last_nl != nullptr) {
    size_t end = static_cast<size_t>(static_cast<const char*>(last_nl) - text.data());
    for (;;) {
      const size_t start = line_start(text, end);
      ZU_TRY(apply_line(tree, text.substr(start, end - start)));
      if (start == 0) break;
      end = start - 1;
    }
  }
  tree.finish();
  return ZuHeader(std::move(tree));
}

}  // namespace zu
