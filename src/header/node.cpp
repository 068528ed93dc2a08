#include "header/node.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <utility>

namespace zu {

// Open-addressing table over the children of one wide map. Its slots hold
// the child nodes themselves, and beside each slot a one-byte tag from the
// key's hash (0: empty), so a probe rarely has to look at a node's key. At
// most three quarters of the slots are used.
struct MapIndex {
  std::vector<Node*> slots;
  std::vector<uint8_t> tags;
  size_t count = 0;
};

namespace {

// Maps up to this many keys are searched along their child list; a map that
// grows past it gets a MapIndex.
constexpr size_t kLinearMapLimit = 8;
constexpr size_t kFirstChunk = 64;
constexpr size_t kMaxChunk = size_t{1} << 16;

// A secret per process keys the hash, so nobody can write a header whose
// keys all collide in one map (order never depends on the hash).
uint64_t process_random(int which) {
  static const std::pair<uint64_t, uint64_t> value = [] {
    std::random_device rd;
    const uint64_t k0 = (uint64_t{rd()} << 32) ^ rd();
    const uint64_t k1 = (uint64_t{rd()} << 32) ^ rd();
    return std::pair<uint64_t, uint64_t>{k0, k1};
  }();
  return which == 0 ? value.first : value.second;
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

// SipHash-1-3.
uint64_t siphash13(uint64_t k0, uint64_t k1, const uint8_t* p, size_t len) {
  uint64_t v0 = k0 ^ 0x736f6d6570736575ull, v1 = k1 ^ 0x646f72616e646f6dull;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ull, v3 = k1 ^ 0x7465646279746573ull;
  const size_t whole = len & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m;
    std::memcpy(&m, p + i, 8);
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t last = uint64_t{len & 0xff} << 56;
  for (size_t i = whole; i < len; ++i) last |= uint64_t{p[i]} << (8 * (i - whole));
  v3 ^= last;
  sip_round(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

size_t hash_key(std::string_view key) {
  return static_cast<size_t>(siphash13(process_random(0), process_random(1),
                                       reinterpret_cast<const uint8_t*>(key.data()), key.size()));
}

ZuError expected_map() { return ZuError::invalid_node_variant("map", NodeKind::Value); }

uint8_t tag_of(size_t hash) { return static_cast<uint8_t>(0x80 | (hash >> 57)); }

// The position of the slot holding `key`, or of the empty slot where it
// would go.
size_t index_position(const MapIndex& index, std::string_view key, size_t hash) {
  const size_t mask = index.slots.size() - 1;
  const uint8_t tag = tag_of(hash);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint8_t t = index.tags[i];
    if (t == 0 || (t == tag && index.slots[i]->key() == key)) return i;
  }
}

Node* index_find(const MapIndex& index, std::string_view key) {
  return index.slots[index_position(index, key, hash_key(key))];
}

void index_put(MapIndex& index, Node* child, size_t hash) {
  const size_t at = index_position(index, child->key(), hash);
  index.slots[at] = child;
  index.tags[at] = tag_of(hash);
}

void index_insert(MapIndex& index, Node* child, size_t hash) {
  if ((index.count + 1) * 4 > index.slots.size() * 3) {
    const size_t capacity = std::max<size_t>(index.slots.size() * 2, 32);
    const std::vector<Node*> previous =
        std::exchange(index.slots, std::vector<Node*>(capacity, nullptr));
    index.tags.assign(capacity, 0);
    for (Node* n : previous) {
      if (n != nullptr) index_put(index, n, hash_key(n->key()));
    }
  }
  index_put(index, child, hash);
  ++index.count;
}

}  // namespace

// ---- NodeChildren ----

NodeChildren::iterator::value_type NodeChildren::iterator::operator*() const {
  return {node_->key(), *node_};
}

NodeChildren::iterator& NodeChildren::iterator::operator++() {
  node_ = node_->next_;
  return *this;
}

const Node* NodeChildren::find(std::string_view key) const {
  if (index_ != nullptr) return index_find(*index_, key);
  for (const Node* c = first_; c != nullptr; c = c->next_) {
    if (c->key() == key) return c;
  }
  return nullptr;
}

// ---- Node ----

Result<const Node*> Node::get(std::string_view key) const {
  if (!is_map()) return expected_map();
  const Node* child = map_.entries.find(key);
  if (child == nullptr) return ZuError::header_missing_key(std::string(key));
  return child;
}

Result<const NodeMap*> Node::as_map() const {
  if (!is_map()) return expected_map();
  return &map_;
}

Result<std::string_view> Node::as_value() const {
  if (is_map()) return ZuError::invalid_node_variant("Value", NodeKind::Map);
  return std::string_view(value_.data, value_.size);
}

// ---- HeaderTree ----

// A hostile header may hold a key millions of segments deep; each segment is
// one node, so their size bounds the memory such a header can take.
static_assert(sizeof(Node) <= 40);

HeaderTree::HeaderTree() { root_ = new_node({}); }
HeaderTree::HeaderTree(HeaderTree&&) noexcept = default;
HeaderTree& HeaderTree::operator=(HeaderTree&&) noexcept = default;
// Nodes own nothing themselves, so freeing the chunks frees the whole tree
// at once, without walking it.
HeaderTree::~HeaderTree() = default;

// A new empty map named `key`; callers turn it into a value as needed.
Node* HeaderTree::new_node(std::string_view key) {
  if (chunks_.empty() || chunks_.back().used == chunks_.back().size) {
    const size_t size =
        chunks_.empty() ? kFirstChunk : std::min(chunks_.back().size * 2, kMaxChunk);
    chunks_.push_back(Chunk{std::unique_ptr<Node[]>(new Node[size]), size, 0});
  }
  Chunk& chunk = chunks_.back();
  Node* n = &chunk.nodes[chunk.used++];
  n->key_ = key.data();
  n->key_len_and_kind_ = (uint64_t{key.size()} << 1) | Node::kMapBit;
  n->next_ = nullptr;
  n->map_.entries.first_ = nullptr;
  n->map_.entries.index_ = nullptr;
  return n;
}

// Links `child` in at the front of `map`'s list; the order is fixed up in
// finish(). `where` is the failed lookup of the child's key.
Node* HeaderTree::add_child(Node& map, Node* child, const Lookup& where) {
  NodeChildren& c = map.map_.entries;
  child->next_ = c.first_;
  c.first_ = child;
  if (c.index_ != nullptr) {
    index_insert(*c.index_, child, where.hash);
  } else if (where.count + 1 > kLinearMapLimit) {
    indexes_.push_back(std::make_unique<MapIndex>());
    c.index_ = indexes_.back().get();
    for (Node* n = c.first_; n != nullptr; n = n->next_) {
      index_insert(*c.index_, n, hash_key(n->key()));
    }
  }
  return child;
}

// Searches the index of a wide map, else the list of a small one.
HeaderTree::Lookup HeaderTree::lookup(Node& map, std::string_view key) {
  NodeChildren& c = map.map_.entries;
  Lookup found;
  if (c.index_ != nullptr) {
    found.hash = hash_key(key);
    found.child = c.index_->slots[index_position(*c.index_, key, found.hash)];
    return found;
  }
  for (Node* n = c.first_; n != nullptr; n = n->next_, ++found.count) {
    if (n->key() == key) {
      found.child = n;
      break;
    }
  }
  return found;
}

Result<void> HeaderTree::set(std::string_view key, std::string_view value) {
  Node* current = root_;
  // Below a map made by this call there is nothing to look up.
  bool fresh = false;
  size_t start = 0;
  for (;;) {
    const char* dot =
        static_cast<const char*>(std::memchr(key.data() + start, '.', key.size() - start));
    const size_t end = dot == nullptr ? key.size() : static_cast<size_t>(dot - key.data());
    const std::string_view segment = key.substr(start, end - start);
    const Lookup found = fresh ? Lookup{} : lookup(*current, segment);
    Node* child = found.child;
    if (dot == nullptr) {
      if (child == nullptr) child = add_child(*current, new_node(segment), found);
      // Whatever was stored (a value, or a map with its subtree) is
      // replaced; a dropped subtree stays in the arena until the tree goes.
      child->key_ = segment.data();
      child->key_len_and_kind_ = uint64_t{segment.size()} << 1;
      child->value_ = Node::ValueText{value.data(), value.size()};
      return {};
    }
    if (child == nullptr) {
      current = add_child(*current, new_node(segment), found);
      fresh = true;
    } else if (!child->is_map()) {
      return expected_map();
    } else {
      // This line lies above every line that named the child before.
      child->key_ = segment.data();
      current = child;
    }
    start = end + 1;
  }
}

// Puts the children in ascending order of key_, which is file order: every
// key_ points into the line nearest the top that named the child.
void HeaderTree::order_children(Node& map, std::vector<Node*>& scratch) {
  NodeChildren& c = map.map_.entries;
  bool sorted = true;
  for (Node* n = c.first_; n != nullptr && n->next_ != nullptr; n = n->next_) {
    if (n->next_->key_ < n->key_) {
      sorted = false;
      break;
    }
  }
  if (sorted) return;
  scratch.clear();
  for (Node* n = c.first_; n != nullptr; n = n->next_) scratch.push_back(n);
  std::sort(scratch.begin(), scratch.end(), [](const Node* a, const Node* b) {
    return std::less<const char*>()(a->key_, b->key_);
  });
  c.first_ = scratch.front();
  for (size_t i = 0; i + 1 < scratch.size(); ++i) scratch[i]->next_ = scratch[i + 1];
  scratch.back()->next_ = nullptr;
}

// Calls `visit` on every node reachable from the root, with a stack of its
// own: a key may be millions of segments deep.
template <class Visit>
void HeaderTree::for_each_reachable(Visit&& visit) {
  std::vector<Node*> pending{root_};
  while (!pending.empty()) {
    Node* n = pending.back();
    pending.pop_back();
    visit(*n);
    if (!n->is_map()) continue;
    for (Node* c = n->map_.entries.first_; c != nullptr; c = c->next_) pending.push_back(c);
  }
}

void HeaderTree::finish() {
  std::vector<Node*> scratch;
  for (Chunk& chunk : chunks_) {
    for (size_t i = 0; i < chunk.used; ++i) {
      if (chunk.nodes[i].is_map()) order_children(chunk.nodes[i], scratch);
    }
  }
  scratch = std::vector<Node*>();
  // Only the text that reachable keys and values use is kept, in one block
  // of its size, so the caller's text can go as soon as this returns.
  // Nodes dropped by a later line are unreachable and keep pointing into
  // the caller's text; nothing reads them.
  size_t total = 0;
  for_each_reachable([&](Node& n) {
    total += n.key().size();
    if (!n.is_map()) total += n.value_.size;
  });
  text_ = std::make_unique_for_overwrite<char[]>(total);
  char* out = text_.get();
  auto keep = [&out](const char* from, size_t size) {
    if (size == 0) return from;
    std::memcpy(out, from, size);
    out += size;
    return static_cast<const char*>(out - size);
  };
  for_each_reachable([&](Node& n) {
    n.key_ = keep(n.key_, n.key().size());
    if (!n.is_map()) n.value_.data = keep(n.value_.data, n.value_.size);
  });
}

}  // namespace zu
