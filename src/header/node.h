// The header tree: every node is a map of child nodes or a text value.
//
// Nodes live in an arena owned by the header (HeaderTree) and refer to their
// key and value text inside the tree's own block of the text they use, so a
// node costs a fixed 40 bytes whatever its text. A map keeps its children in a list in
// the order in which their keys first appear in the header, reading it from
// the top; maps with more than a handful of keys also get a hash index so
// that lookups stay fast however wide a map grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "error/zu_error.h"

namespace zu {

class Node;
class HeaderTree;
struct MapIndex;

// The children of one map, in file order. A view: it refers into the tree.
class NodeChildren {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::pair<std::string_view, const Node&>;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = value_type;

    iterator() = default;
    explicit iterator(const Node* node) : node_(node) {}
    value_type operator*() const;
    iterator& operator++();
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& other) const { return node_ == other.node_; }

   private:
    const Node* node_ = nullptr;
  };
  using const_iterator = iterator;

  iterator begin() const { return iterator(first_); }
  iterator end() const { return iterator(); }
  bool empty() const { return first_ == nullptr; }

  // The child stored under exactly `key`, or nullptr.
  const Node* find(std::string_view key) const;

 private:
  friend class Node;
  friend class HeaderTree;
  Node* first_;
  MapIndex* index_;  // only for maps past a handful of keys, else nullptr
};

// What as_map() hands out: the map's children, in file order.
struct NodeMap {
  using const_iterator = NodeChildren::const_iterator;
  NodeChildren entries;
};

class Node {
 public:
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  NodeKind kind() const { return is_map() ? NodeKind::Map : NodeKind::Value; }
  // The key this node is stored under in its parent (empty for the root).
  std::string_view key() const { return {key_, key_len_and_kind_ >> 1}; }

  // The child stored under exactly `key` (no splitting at dots).
  // Errors: InvalidNodeVariant("map", Value) on a value; HeaderMissingKey.
  Result<const Node*> get(std::string_view key) const;
  // Errors: InvalidNodeVariant("map", Value).
  Result<const NodeMap*> as_map() const;
  // Errors: InvalidNodeVariant("Value", Map).
  Result<std::string_view> as_value() const;

 private:
  friend class HeaderTree;
  friend class NodeChildren;
  static constexpr uint64_t kMapBit = 1;

  Node() = default;
  bool is_map() const { return (key_len_and_kind_ & kMapBit) != 0; }

  // While parsing, key_ points at the segment of the line nearest the top
  // of the text that has named this node so far; the children of a map are
  // put in file order by comparing these pointers.
  const char* key_ = nullptr;
  uint64_t key_len_and_kind_ = kMapBit;  // key length << 1 | map bit
  Node* next_ = nullptr;                 // next sibling
  struct ValueText {
    const char* data;
    size_t size;
  };
  union {
    ValueText value_;
    NodeMap map_;
  };
};

// Owns every node of one header and the text the nodes refer to. Building
// applies one property at a time, with views into the caller's text;
// finish() copies what the tree uses of that text and puts every map in
// file order.
class HeaderTree {
 public:
  HeaderTree();
  HeaderTree(HeaderTree&&) noexcept;
  HeaderTree& operator=(HeaderTree&&) noexcept;
  HeaderTree(const HeaderTree&) = delete;
  HeaderTree& operator=(const HeaderTree&) = delete;
  ~HeaderTree();

  const Node& root() const { return *root_; }

  // Stores `value` under the dotted `key`, creating maps on the way and
  // replacing whatever the last segment held. Both views must lie inside
  // one text that stays alive until finish() returns, and each call must
  // come from a line above the lines of all earlier calls.
  // Errors: InvalidNodeVariant("map", Value) when the path passes a value.
  Result<void> set(std::string_view key, std::string_view value);

  // Orders every map's children by the first appearance of their keys in
  // the text, then copies the keys and values of the nodes reachable from
  // the root into one block the tree owns and points them there; the text
  // the views of set() came from is not needed afterwards.
  void finish();

 private:
  // A key's lookup in one map: the child, or where to add it (the count of
  // a small map's children, the key's hash for a wide one).
  struct Lookup {
    Node* child = nullptr;
    size_t count = 0;
    size_t hash = 0;
  };
  Lookup lookup(Node& map, std::string_view key);
  Node* new_node(std::string_view key);
  Node* add_child(Node& map, Node* child, const Lookup& where);
  void order_children(Node& map, std::vector<Node*>& scratch);
  template <class Visit>
  void for_each_reachable(Visit&& visit);

  // Arena: chunks of nodes that never move once allocated.
  struct Chunk {
    std::unique_ptr<Node[]> nodes;
    size_t size;
    size_t used;
  };
  std::vector<Chunk> chunks_;
  std::vector<std::unique_ptr<MapIndex>> indexes_;
  std::unique_ptr<char[]> text_;  // the keys and values reachable nodes use
  Node* root_ = nullptr;
};

}  // namespace zu
