// The directory index a file opened through zudata builds once, while its
// header is looked for: for each channel the header names and each segment,
// the entries of the members a read of that pair decodes, in directory
// order (a member's place in that order is its place in the grid). Reads,
// layouts and the errors that list what exists then walk no directory.
//
// Nothing here touches a Python object; a built index is only read, so any
// number of threads may use it at once.
#pragma once

#include <array>
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
  // A view into the index, valid while it lives.
  std::optional<zip::EntryList> members(std::string_view channel, uint8_t segment) const;

  // Members per segment for every indexed channel, in the order of
  // channel_names given to build; the names refer into the index.
  std::vector<ChannelLayout> layout() const;

 private:
  // [begin, end) of a group's members in one part.
  using Range = std::pair<size_t, size_t>;
  // The members lie in two parts, each sorted into groups: when the walk
  // was split over two threads, those of the directory's earlier half and
  // those of its later half, each sorted by the thread that walked it, at
  // the same time; else all in the first part.
  static constexpr size_t kParts = 2;
  struct Group {
    size_t channel;
    size_t segment;
    std::array<Range, kParts> in_part;
  };

  std::vector<std::string> names_;                          // distinct, in order
  std::unordered_map<std::string_view, size_t> channel_of_;  // keys view names_
  std::vector<Group> groups_;  // non-empty ones, by (channel, segment)
  std::array<std::unique_ptr<zip::PackedEntry[]>, kParts> parts_;
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
  // and then the next add() gives its entry. Both run for every record of
  // the walk, so they are defined here, where its loop can inline them.
  bool offer(std::span<const uint8_t> name) {
    pending_.clear();
    counter_.for_each_claim(name, [this](size_t channel, size_t segment) {
      pending_.push_back(channel * kSegmentCount + segment);
    });
    return !pending_.empty();
  }
  void add(const zip::ZipEntry& entry) {
    if (claimed_.capacity() == 0) [[unlikely]]
      reserve_claims();
    // Made in place: a packed entry made on the stack and copied would be
    // written field by field and read back whole, a stall on every member.
    for (size_t key : pending_) {
      claimed_.emplace_back(entry);
      group_of_claim_.push_back(group_of(key));
    }
  }
  // The candidates found before the builder existed, which come first.
  void add_all(const MemberCandidates& earlier);

  // Sorts the claims so far into groups, so that finish() has only the
  // claims of later records to sort. The thread that walked calls it: two
  // halves of a walk are then sorted at once.
  void sort_claims();

  // Takes the claims of `later`, a builder for the same channel names that
  // was offered the records right after those offered to this one, as if
  // this one had been offered them itself. At most once, after this one's
  // last claim; `later` is best sorted first (see sort_claims).
  void append(Builder&& later);

  const std::vector<std::string_view>& channel_names() const { return names_given_; }
  bool same_channels(const std::vector<std::string_view>& channel_names) const {
    return channel_names == names_given_;
  }
  ChannelIndex finish();

 private:
  static constexpr size_t kNoGroup = SIZE_MAX;
  size_t group_of(size_t key) {
    if (use_dense_ && dense_[key] != kNoGroup) [[likely]]
      return dense_[key];
    return new_group_of(key);
  }
  // The group of a key met for the first time, or of any key when there
  // are too many to keep densely.
  size_t new_group_of(size_t key);
  void reserve_claims();

  std::vector<std::string> names_given_storage_;
  std::vector<std::string_view> names_given_;  // view names_given_storage_
  MemberNameCounter counter_;
  std::vector<size_t> pending_;  // keys of the name last offered
  // Every claimed entry in directory order with its group; they are sorted
  // into groups in one pass, by sort_claims() or finish().
  std::vector<zip::PackedEntry> claimed_;
  std::vector<size_t> group_of_claim_;
  size_t planned_;  // claims reserved at the first add()
  // Claims sorted into groups: the entries, and each group's range in them.
  struct Part {
    std::unique_ptr<zip::PackedEntry[]> entries;
    std::vector<Range> of_group;  // by group; groups made later have none
    size_t claims = 0;            // the claims it holds, the first ones
  };
  Part sorted_part() const;
  Part sorted_;
  // The appended builder's part, its ranges by this builder's groups.
  std::optional<Part> later_;
  std::vector<size_t> key_of_group_;  // groups in the order first met
  // Key to group: dense for the usual few channels, a map for headers that
  // list very many.
  std::vector<size_t> dense_;
  std::unordered_map<size_t, size_t> sparse_;
  bool use_dense_;
};

}  // namespace zu
