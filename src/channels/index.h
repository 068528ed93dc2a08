// The directory index a file opened through zudata builds once, while its
// header is looked for: for each channel the header names and each segment,
// the entries of the members a read of that pair decodes, in directory
// order (a member's place in that order is its place in the grid). Reads,
// layouts and the errors that list what exists then walk no directory.
//
// Nothing here touches a Python object; a built index is only read, so any
// number of threads may use it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "channels/layout.h"
#include "zip/entry.h"

namespace zu {

// The entries of one directory walk whose names can belong to a channel
// member (they end in ".dat"), with their names, kept only until the header
// says which channels exist.
class MemberCandidates {
 public:
  // True when `name` can name a channel member; it is then kept, and the
  // next add() gives its entry.
  bool offer(std::span<const uint8_t> name);
  void add(const zip::ZipEntry& entry) { entries_.emplace_back(entry); }

  size_t size() const { return entries_.size(); }
  std::span<const uint8_t> name(size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return {names_.data() + begin, ends_[i] - begin};
  }
  const zip::PackedEntry& entry(size_t i) const { return entries_[i]; }

 private:
  std::vector<uint8_t> names_;  // every kept name, back to back
  std::vector<size_t> ends_;    // where each kept name ends in names_
  std::vector<zip::PackedEntry> entries_;
};

class ChannelIndex {
 public:
  // Made by a Builder, for the distinct names of the channel names it was
  // given (the header's channels, in its order). A member name that ends
  // with the member paths of several channels is indexed under each, as
  // reads find it.
  class Builder;

  // The entries of `channel` in `segment`, in directory order (empty when
  // the channel has none there); nullopt when the channel is not indexed.
  std::optional<std::span<const zip::PackedEntry>> members(std::string_view channel,
                                                           uint8_t segment) const;

  // Members per segment for every indexed channel, in the order of
  // channel_names given to build; the names refer into the index.
  std::vector<ChannelLayout> layout() const;

 private:
  struct Group {
    size_t channel;
    size_t segment;
    size_t begin;  // into entries_
    size_t end;
  };

  std::vector<std::string> names_;                          // distinct, in order
  std::unordered_map<std::string_view, size_t> channel_of_;  // keys view names_
  std::vector<Group> groups_;  // non-empty ones, by (channel, segment)
  std::unique_ptr<zip::PackedEntry[]> entries_;  // the groups' members, back to back
};

// Builds an index while the directory is walked, once the channel names are
// known: each name is classified as it comes, so no name is kept.
class ChannelIndex::Builder {
 public:
  // `most_members` bounds the members the walk can meet (the directory's
  // bytes over the smallest record's); their storage is reserved once, at
  // the first add() and so on the thread that walks, so a growing array is
  // never copied and its pages are touched only once.
  Builder(const std::vector<std::string_view>& channel_names, size_t most_members);

  // Classifies `name`; true when it belongs to some channel and segment,
  // and then the next add() gives its entry.
  bool offer(std::span<const uint8_t> name);
  void add(const zip::ZipEntry& entry);
  // The candidates found before the builder existed, which come first.
  void add_all(const MemberCandidates& earlier);

  // Takes the claims of `later`, a builder for the same channel names that
  // was offered the records right after those offered to this one, as if
  // this one had been offered them itself.
  void append(Builder&& later);

  const std::vector<std::string_view>& channel_names() const { return names_given_; }
  bool same_channels(const std::vector<std::string_view>& channel_names) const {
    return channel_names == names_given_;
  }
  ChannelIndex finish();

 private:
  size_t group_of(size_t key);

  std::vector<std::string> names_given_storage_;
  std::vector<std::string_view> names_given_;  // view names_given_storage_
  MemberNameCounter counter_;
  std::vector<size_t> pending_;  // keys of the name last offered
  // Every claimed entry in directory order with its group; finish() sorts
  // them into groups by key (channel * 256 + segment) in one pass.
  std::vector<zip::PackedEntry> claimed_;
  std::vector<size_t> group_of_claim_;
  size_t planned_;  // claims reserved at the first add()
  // The claims of builders appended, their groups already this one's.
  struct Claims {
    std::vector<zip::PackedEntry> entries;
    std::vector<size_t> groups;
  };
  std::vector<Claims> appended_;
  std::vector<size_t> key_of_group_;  // groups in the order first met
  // Key to group: dense for the usual few channels, a map for headers that
  // list very many.
  std::vector<size_t> dense_;
  std::unordered_map<size_t, size_t> sparse_;
  bool use_dense_;
};

}  // namespace zu
