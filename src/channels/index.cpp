#include "channels/index.h"

#include <algorithm>
#include <memory>
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

// Reserved up front at most: beyond it (a directory of over a million
// records) the arrays grow as they fill, so a file padded to look like a
// huge directory reserves no more than this.
constexpr size_t kMostReserved = size_t{1} << 20;

ChannelIndex::Builder::Builder(const std::vector<std::string_view>& channel_names,
                               size_t most_members)
    : names_given_storage_(copied(channel_names)),
      names_given_(views(names_given_storage_)),
      counter_(names_given_) {
  const size_t keys = counter_.channel_count() * kSegmentCount;
  use_dense_ = keys <= kMostDenseKeys;
  if (use_dense_) dense_.assign(keys, kNoGroup);
  planned_ = std::min(most_members, kMostReserved);
}

size_t ChannelIndex::Builder::new_group_of(size_t key) {
  size_t& group = use_dense_ ? dense_[key] : sparse_.try_emplace(key, kNoGroup).first->second;
  if (group == kNoGroup) {
    group = key_of_group_.size();
    key_of_group_.push_back(key);
  }
  return group;
}

void ChannelIndex::Builder::reserve_claims() {
  claimed_.reserve(planned_);
  group_of_claim_.reserve(planned_);
}

void ChannelIndex::Builder::add_all(const MemberCandidates& earlier) {
  for (size_t i = 0; i < earlier.size(); ++i) {
    if (offer(earlier.name(i))) add(earlier.entry(i).unpack());
  }
}

ChannelIndex::Builder::Part ChannelIndex::Builder::sorted_part() const {
  // A counting sort: each group's entries in directory order, the groups
  // back to back in the order first met, in one array of exactly the
  // claims' size. Every slot is written, so the array is not zeroed first:
  // that would be one more pass over megabytes of fresh memory.
  Part part;
  part.claims = claimed_.size();
  part.of_group.assign(key_of_group_.size(), Range(0, 0));
  for (size_t g : group_of_claim_) ++part.of_group[g].second;
  size_t begin = 0;
  for (Range& range : part.of_group) {
    const size_t count = range.second;
    range = Range(begin, begin);
    begin += count;
  }
  part.entries.reset(new zip::PackedEntry[claimed_.size()]);  // default-initialized: not zeroed
  zip::PackedEntry* entries = part.entries.get();
  for (size_t i = 0; i < claimed_.size(); ++i) {
    entries[part.of_group[group_of_claim_[i]].second++] = claimed_[i];
  }
  return part;
}

void ChannelIndex::Builder::sort_claims() { sorted_ = sorted_part(); }

void ChannelIndex::Builder::append(Builder&& later) {
  Part part = later.sorted_.entries && later.sorted_.claims == later.claimed_.size()
                  ? std::move(later.sorted_)
                  : later.sorted_part();
  std::vector<Range> here;
  for (size_t g = 0; g < later.key_of_group_.size(); ++g) {
    const size_t mine = group_of(later.key_of_group_[g]);
    if (here.size() <= mine) here.resize(mine + 1, Range(0, 0));
    here[mine] = part.of_group[g];
  }
  part.of_group = std::move(here);
  later_ = std::move(part);
}

ChannelIndex ChannelIndex::Builder::finish() {
  ChannelIndex index;
  index.names_.reserve(counter_.channel_count());
  for (size_t c = 0; c < counter_.channel_count(); ++c) {
    index.names_.emplace_back(counter_.channel_name(c));
  }
  for (size_t c = 0; c < index.names_.size(); ++c) index.channel_of_.emplace(index.names_[c], c);

  // Claims made after sort_claims() (a walk that went on alone) are sorted
  // here with the rest.
  Part first =
      sorted_.entries && sorted_.claims == claimed_.size() ? std::move(sorted_) : sorted_part();
  claimed_ = {};
  group_of_claim_ = {};
  sorted_ = {};
  auto range = [](const Part& part, size_t g) {
    return g < part.of_group.size() ? part.of_group[g] : Range(0, 0);
  };
  const size_t groups = key_of_group_.size();
  std::vector<size_t> by_key(groups);
  for (size_t g = 0; g < groups; ++g) by_key[g] = g;
  std::sort(by_key.begin(), by_key.end(),
            [this](size_t a, size_t b) { return key_of_group_[a] < key_of_group_[b]; });
  index.groups_.reserve(groups);
  for (size_t g : by_key) {
    const size_t key = key_of_group_[g];
    const Range later = later_ ? range(*later_, g) : Range(0, 0);
    index.groups_.push_back(
        Group{key / kSegmentCount, key % kSegmentCount, {range(first, g), later}});
  }
  index.parts_[0] = std::move(first.entries);
  if (later_) index.parts_[1] = std::move(later_->entries);
  later_.reset();
  return index;
}

std::optional<zip::EntryList> ChannelIndex::members(std::string_view channel,
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
    return zip::EntryList(std::span<const zip::PackedEntry>());
  }
  auto part = [&](size_t p) {
    const Range r = group->in_part[p];
    return std::span<const zip::PackedEntry>(parts_[p].get() + r.first, r.second - r.first);
  };
  return zip::EntryList(part(0), part(1));
}

std::vector<ChannelLayout> ChannelIndex::layout() const {
  std::vector<ChannelLayout> layouts(names_.size());
  for (size_t c = 0; c < names_.size(); ++c) layouts[c].name = names_[c];
  for (const Group& g : groups_) {
    for (size_t p = 0; p < kParts; ++p) {
      for (size_t e = g.in_part[p].first; e < g.in_part[p].second; ++e) {
        layouts[g.channel].add(g.segment, parts_[p][e].uncompressed_size());
      }
    }
  }
  return layouts;
}

}  // namespace zu
