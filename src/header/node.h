// The header tree: every node is a map of child nodes or a text value.
// Maps are hash maps with a fresh random seed each, so iteration order is
// unspecified (but stable for one map, since the tree never changes).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "error/zu_error.h"

namespace zu {

// SipHash-1-3 keyed by a per-map seed and a per-process secret.
struct SeededHash {
  using is_transparent = void;
  uint64_t seed = 0;
  size_t operator()(std::string_view key) const;
};

struct KeyEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

struct NodeMap;

class Node {
 public:
  static Node make_map();
  static Node make_value(std::string_view text);

  Node(Node&& other) noexcept = default;
  Node& operator=(Node&& other) noexcept;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Frees the subtree without recursing, however deep it is.
  ~Node();

  NodeKind kind() const { return map_ ? NodeKind::Map : NodeKind::Value; }

  // The child stored under exactly `key` (no splitting at dots).
  // Errors: InvalidNodeVariant("map", Value) on a value; HeaderMissingKey.
  Result<const Node*> get(std::string_view key) const;
  // Errors: InvalidNodeVariant("map", Value).
  Result<const NodeMap*> as_map() const;
  Result<NodeMap*> as_map_mut();
  // Errors: InvalidNodeVariant("Value", Map).
  Result<std::string_view> as_value() const;

 private:
  Node() = default;
  void dismantle() noexcept;

  std::string value_;
  std::unique_ptr<NodeMap> map_;  // set exactly for map nodes
};

struct NodeMap {
  using Entries = std::unordered_map<std::string, Node, SeededHash, KeyEqual>;
  using const_iterator = Entries::const_iterator;
  NodeMap();
  Entries entries;
};

}  // namespace zu
