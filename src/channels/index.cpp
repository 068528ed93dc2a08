#include "channels/index.h"

#include <algorithm>
#include <utility>

namespace zu {

namespace {

constexpr uint8_t kDat[] = {'.', 'd', 'a', 't'};

// (channel * 256 + segment, candidate): sorted, these give every group's
// members together and in directory order.
using Claim = std::pair<size_t, size_t>;

// Sorts claims by key; a counting sort when the keys are few beside the
// claims (the usual file: a few channels, many members), so that opening
// stays linear in the directory.
void sort_claims(std::vector<Claim>& claims, size_t key_count) {
  if (key_count > claims.size() * 4 + 65536) {
    std::sort(claims.begin(), claims.end());
    return;
  }
  std::vector<size_t> start(key_count + 1, 0);
  for (const Claim& c : claims) ++start[c.first + 1];
  for (size_t k = 0; k < key_count; ++k) start[k + 1] += start[k];
  std::vector<Claim> sorted(claims.size());
  for (const Claim& c : claims) sorted[start[c.first]++] = c;  // stable
  claims = std::move(sorted);
}

}  // namespace

bool MemberCandidates::offer(std::span<const uint8_t> name) {
  if (name.size() < sizeof kDat || !std::equal(name.end() - sizeof kDat, name.end(), kDat)) {
    return false;
  }
  names_.insert(names_.end(), name.begin(), name.end());
  ends_.push_back(names_.size());
  return true;
}

ChannelIndex ChannelIndex::build(const std::vector<std::string_view>& channel_names,
                                 const MemberCandidates& candidates) {
  ChannelIndex index;
  const MemberNameCounter counter(channel_names);
  index.names_.reserve(counter.channel_count());
  for (size_t c = 0; c < counter.channel_count(); ++c) {
    index.names_.emplace_back(counter.channel_name(c));
  }
  for (size_t c = 0; c < index.names_.size(); ++c) index.channel_of_.emplace(index.names_[c], c);

  std::vector<Claim> claims;
  claims.reserve(candidates.size());
  for (size_t i = 0; i < candidates.size(); ++i) {
    counter.for_each_claim(candidates.name(i), [&](size_t channel, size_t segment) {
      claims.emplace_back(channel * kSegmentCount + segment, i);
    });
  }
  sort_claims(claims, index.names_.size() * kSegmentCount);

  index.entries_.reserve(claims.size());
  for (size_t k = 0; k < claims.size();) {
    const size_t key = claims[k].first;
    Group group{key / kSegmentCount, key % kSegmentCount, index.entries_.size(), 0};
    for (; k < claims.size() && claims[k].first == key; ++k) {
      index.entries_.push_back(candidates.entry(claims[k].second));
    }
    group.end = index.entries_.size();
    index.groups_.push_back(group);
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
  for (const Group& g : groups_) layouts[g.channel].traces[g.segment] = g.end - g.begin;
  return layouts;
}

}  // namespace zu
