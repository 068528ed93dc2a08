#include <vector>

#include "header/header.h"

namespace zu {

namespace {

constexpr const char* kMissingEquals = "missing '='";

// Walks (creating maps as needed) to the map that holds the last segment of
// `key`, and stores `value` there, replacing whatever was stored.
Result<void> apply_property(NodeMap& root, std::string_view key, std::string_view value) {
  NodeMap* current = &root;
  size_t start = 0;
  for (size_t dot = key.find('.'); dot != std::string_view::npos; dot = key.find('.', start)) {
    std::string_view segment = key.substr(start, dot - start);
    auto it = current->entries.find(segment);
    if (it == current->entries.end()) {
      it = current->entries.emplace(std::string(segment), Node::make_map()).first;
    }
    ZU_TRY_ASSIGN(current, it->second.as_map_mut());
    start = dot + 1;
  }
  std::string_view last = key.substr(start);
  auto it = current->entries.find(last);
  if (it != current->entries.end()) {
    it->second = Node::make_value(value);
  } else {
    current->entries.emplace(std::string(last), Node::make_value(value));
  }
  return {};
}

Result<void> apply_line(NodeMap& root, std::string_view line) {
  if (!line.empty() && line.front() == '#') return {};
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) {
    return ZuError::invalid_header_line(std::string(line), kMissingEquals);
  }
  return apply_property(root, line.substr(0, eq), line.substr(eq + 1));
}

}  // namespace

Result<ZuHeader> ZuHeader::from_str(std::string_view text) {
  // Only line feeds end lines, and the text after the last one is ignored.
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t nl = text.find('\n'); nl != std::string_view::npos; nl = text.find('\n', start)) {
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  // Lines apply last to first, so the line nearest the top wins.
  Node root = Node::make_map();
  NodeMap* map = root.as_map_mut().value();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    ZU_TRY(apply_line(*map, *it));
  }
  return ZuHeader(std::move(root));
}

}  // namespace zu
