#include "channels/index.h"

#include <algorithm>
#include <utility>

namespace zu {

namespace {

constexpr uint8_t kDat[] = {'.', 'd', 'a', 't'};

}  // namespace

bool MemberCandidates::offer(std::span<const uint8_t> name) {
  if (name.size() < sizeof kDat || !std::equal(name.end() - sizeof kDat, name.end(), kDat)) {
    return false;
  }
  names_.insert(names_.end(), name.begin(), name.end());
  ends_.push_back(names_.size());
  return true;
}

namespace {

// The channel names copied, so the builder does not depend on the tree
// they were read from.
std::vector<std::string> copied(const std::vector<std::string_view>& names) {
  return {names.begin(), names.end()};
}

std::vector<std::string_view> views(const std::vector<std::string>& names) {
  return {names.begin(), names.end()};
}

constexpr size_t kMostDenseKeys = size_t{1} << 16;

}  // namespace

ChannelIndex::Builder::Builder(const std::vector<std::string_view>& channel_names)
    : names_given_storage_(copied(channel_names)),
      names_given_(views(names_given_storage_)),
      counter_(names_given_) {
  const size_t keys = counter_.channel_count() * kSegmentCount;
  use_dense_ = keys <= kMostDenseKeys;
  if (use_dense_) dense_.resize(keys);
}

bool ChannelIndex::Builder::offer(std::span<const uint8_t> name) {
  pending_.clear();
  counter_.for_each_claim(name, [this](size_t channel, size_t segment) {
    pending_.push_back(channel * kSegmentCount + segment);
  });
  return !pending_.empty();
}

void ChannelIndex::Builder::add(const zip::ZipEntry& entry) {
  const zip::PackedEntry packed(entry);
  for (size_t key : pending_) {
    (use_dense_ ? dense_[key] : sparse_[key]).push_back(packed);
  }
}

void ChannelIndex::Builder::add_all(const MemberCandidates& earlier) {
  for (size_t i = 0; i < earlier.size(); ++i) {
    if (offer(earlier.name(i))) add(earlier.entry(i).unpack());
  }
}

ChannelIndex ChannelIndex::Builder::finish() {
  ChannelIndex index;
  index.names_.reserve(counter_.channel_count());
  for (size_t c = 0; c < counter_.channel_count(); ++c) {
    index.names_.emplace_back(counter_.channel_name(c));
  }
  for (size_t c = 0; c < index.names_.size(); ++c) index.channel_of_.emplace(index.names_[c], c);
  std::vector<std::pair<size_t, std::vector<zip::PackedEntry>*>> groups;
  size_t total = 0;
  if (use_dense_) {
    for (size_t key = 0; key < dense_.size(); ++key) {
      if (!dense_[key].empty()) groups.emplace_back(key, &dense_[key]);
    }
  } else {
    for (auto& [key, entries] : sparse_) groups.emplace_back(key, &entries);
    std::sort(groups.begin(), groups.end());
  }
  for (const auto& g : groups) total += g.second->size();
  // One array of exactly the members' size: the groups' own vectors grew
  // by doubling and are freed here.
  index.entries_.reserve(total);
  for (const auto& [key, entries] : groups) {
    const size_t begin = index.entries_.size();
    index.entries_.insert(index.entries_.end(), entries->begin(), entries->end());
    index.groups_.push_back(
        Group{key / kSegmentCount, key % kSegmentCount, begin, index.entries_.size()});
    *entries = {};
  }
  return index;
}

std::optional<std::span<const zip::PackedEntry>> ChannelIndex::members(std::string_view channel,
                                                                       uint8_t segment) const {
  const auto found = channel_of_.find(channel);
  if (found == channel_of_.end()) return std::nullopt;
  const size_t c = found->second;
  const auto group =
      std::lower_bound(groups_.begin(), groups_.end(), std::pair<size_t, size_t>(c, segment),
                       [](const Group& g, const std::pair<size_t, size_t>& key) {
                         return std::pair<size_t, size_t>(g.channel, g.segment) < key;
                       });
  if (group == groups_.end() || group->channel != c || group->segment != segment) {
    return std::span<const zip::PackedEntry>();
  }
  return std::span<const zip::PackedEntry>(entries_.data() + group->begin,
                                           group->end - group->begin);
}

std::vector<ChannelLayout> ChannelIndex::layout() const {
  std::vector<ChannelLayout> layouts(names_.size());
  for (size_t c = 0; c < names_.size(); ++c) layouts[c].name = names_[c];
  for (const Group& g : groups_) {
    for (size_t e = g.begin; e < g.end; ++e) {
      layouts[g.channel].add(g.segment, entries_[e].uncompressed_size());
    }
  }
  return layouts;
}

}  // namespace zu
