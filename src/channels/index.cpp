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

constexpr size_t kNoGroup = SIZE_MAX;
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

size_t ChannelIndex::Builder::group_of(size_t key) {
  size_t& group = use_dense_ ? dense_[key] : sparse_.try_emplace(key, kNoGroup).first->second;
  if (group == kNoGroup) {
    group = key_of_group_.size();
    key_of_group_.push_back(key);
  }
  return group;
}

bool ChannelIndex::Builder::offer(std::span<const uint8_t> name) {
  pending_.clear();
  counter_.for_each_claim(name, [this](size_t channel, size_t segment) {
    pending_.push_back(channel * kSegmentCount + segment);
  });
  return !pending_.empty();
}

void ChannelIndex::Builder::add(const zip::ZipEntry& entry) {
  if (claimed_.capacity() == 0) [[unlikely]] {
    claimed_.reserve(planned_);
    group_of_claim_.reserve(planned_);
  }
  // Made in place: a packed entry made on the stack and copied would be
  // written field by field and read back whole, a stall on every member.
  for (size_t key : pending_) {
    claimed_.emplace_back(entry);
    group_of_claim_.push_back(group_of(key));
  }
}

void ChannelIndex::Builder::add_all(const MemberCandidates& earlier) {
  for (size_t i = 0; i < earlier.size(); ++i) {
    if (offer(earlier.name(i))) add(earlier.entry(i).unpack());
  }
}

void ChannelIndex::Builder::append(Builder&& later) {
  std::vector<size_t> group_here(later.key_of_group_.size());
  for (size_t g = 0; g < group_here.size(); ++g) group_here[g] = group_of(later.key_of_group_[g]);
  for (size_t& g : later.group_of_claim_) g = group_here[g];
  appended_.push_back(Claims{std::move(later.claimed_), std::move(later.group_of_claim_)});
}

ChannelIndex ChannelIndex::Builder::finish() {
  ChannelIndex index;
  index.names_.reserve(counter_.channel_count());
  for (size_t c = 0; c < counter_.channel_count(); ++c) {
    index.names_.emplace_back(counter_.channel_name(c));
  }
  for (size_t c = 0; c < index.names_.size(); ++c) index.channel_of_.emplace(index.names_[c], c);

  // A counting sort: groups in key order, each group's entries in
  // directory order, into one array of exactly the members' size.
  const size_t groups = key_of_group_.size();
  std::vector<size_t> by_key(groups);
  for (size_t g = 0; g < groups; ++g) by_key[g] = g;
  std::sort(by_key.begin(), by_key.end(),
            [this](size_t a, size_t b) { return key_of_group_[a] < key_of_group_[b]; });
  std::vector<size_t> count(groups, 0);
  size_t total = claimed_.size();
  for (size_t g : group_of_claim_) ++count[g];
  for (const Claims& part : appended_) {
    for (size_t g : part.groups) ++count[g];
    total += part.entries.size();
  }
  std::vector<size_t> next(groups, 0);
  size_t begin = 0;
  for (size_t g : by_key) {
    next[g] = begin;
    const size_t key = key_of_group_[g];
    index.groups_.push_back(
        Group{key / kSegmentCount, key % kSegmentCount, begin, begin + count[g]});
    begin += count[g];
  }
  // Every slot is written below, so the array is not zeroed first: that
  // would be one more pass over megabytes of fresh memory at each open.
  index.entries_.reset(new zip::PackedEntry[total]);  // default-initialized: not zeroed
  zip::PackedEntry* entries = index.entries_.get();
  for (size_t i = 0; i < claimed_.size(); ++i) entries[next[group_of_claim_[i]]++] = claimed_[i];
  for (const Claims& part : appended_) {
    for (size_t i = 0; i < part.entries.size(); ++i) {
      entries[next[part.groups[i]]++] = part.entries[i];
    }
  }
  claimed_ = {};
  group_of_claim_ = {};
  appended_ = {};
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
  return std::span<const zip::PackedEntry>(entries_.get() + group->begin,
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
