#include "header/node.h"

#include <atomic>
#include <cstring>
#include <random>
#include <vector>

namespace zu {

namespace {

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t process_random() {
  static const uint64_t value = [] {
    std::random_device rd;
    return (uint64_t{rd()} << 32) ^ rd();
  }();
  return value;
}

// A fresh seed for every map: a counter mixed with the process's random
// value, so orders differ between maps and between runs.
uint64_t next_seed() {
  static std::atomic<uint64_t> counter{0};
  uint64_t state = process_random() + counter.fetch_add(1, std::memory_order_relaxed);
  return splitmix64(state);
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
  v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}

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

ZuError expected_map() { return ZuError::invalid_node_variant("map", NodeKind::Value); }

}  // namespace

size_t SeededHash::operator()(std::string_view key) const {
  return static_cast<size_t>(
      siphash13(seed, process_random(), reinterpret_cast<const uint8_t*>(key.data()), key.size()));
}

NodeMap::NodeMap() : entries(0, SeededHash{next_seed()}, KeyEqual{}) {}

Node Node::make_map() {
  Node n;
  n.map_ = std::make_unique<NodeMap>();
  return n;
}

Node Node::make_value(std::string_view text) {
  Node n;
  n.value_.assign(text);
  return n;
}

Node& Node::operator=(Node&& other) noexcept {
  if (this != &other) {
    dismantle();
    value_ = std::move(other.value_);
    map_ = std::move(other.map_);
  }
  return *this;
}

Node::~Node() { dismantle(); }

// Detaches every non-empty child map onto an explicit work list before a
// map is freed, so freeing never recurses into the tree.
void Node::dismantle() noexcept {
  if (!map_ || map_->entries.empty()) {
    map_.reset();
    return;
  }
  std::vector<std::unique_ptr<NodeMap>> pending;
  pending.push_back(std::move(map_));
  while (!pending.empty()) {
    std::unique_ptr<NodeMap> current = std::move(pending.back());
    pending.pop_back();
    for (auto& entry : current->entries) {
      std::unique_ptr<NodeMap>& child = entry.second.map_;
      if (child && !child->entries.empty()) pending.push_back(std::move(child));
    }
  }
}

Result<const Node*> Node::get(std::string_view key) const {
  if (!map_) return expected_map();
  auto it = map_->entries.find(key);
  if (it == map_->entries.end()) return ZuError::header_missing_key(std::string(key));
  return &it->second;
}

Result<const NodeMap*> Node::as_map() const {
  if (!map_) return expected_map();
  return static_cast<const NodeMap*>(map_.get());
}

Result<NodeMap*> Node::as_map_mut() {
  if (!map_) return expected_map();
  return map_.get();
}

Result<std::string_view> Node::as_value() const {
  if (map_) return ZuError::invalid_node_variant("Value", NodeKind::Map);
  return std::string_view(value_);
}

}  // namespace zu
