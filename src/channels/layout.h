// What an archive holds per channel and segment, from member names alone.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error/zu_error.h"
#include "zip/zip_reader.h"

namespace zu {

inline constexpr size_t kSegmentCount = 256;

// Bytes per sample of a member: a trace holds its member's uncompressed
// size / 4 samples (a partial sample at the end is ignored by reads).
inline constexpr uint64_t kSampleBytes = 4;

// The members of one channel name, counted per segment 0..255, with the
// samples of the shortest and the longest of them as the directory records
// the members' uncompressed sizes (0 where a segment has no member).
struct ChannelLayout {
  std::string_view name;  // refers to the caller's string
  std::array<uint64_t, kSegmentCount> traces{};
  std::array<uint64_t, kSegmentCount> shortest{};
  std::array<uint64_t, kSegmentCount> longest{};

  // Counts one member of `uncompressed_size` bytes for `segment`.
  void add(size_t segment, uint64_t uncompressed_size) {
    const uint64_t samples = uncompressed_size / kSampleBytes;
    const bool first = traces[segment]++ == 0;
    if (first || samples < shortest[segment]) shortest[segment] = samples;
    if (first || samples > longest[segment]) longest[segment] = samples;
  }
};

// Counts member names for a fixed set of channel names. A name counts for
// (channel, segment) exactly when it ends with that pair's member path
// ("/" + segment in decimal + "/channels/" + channel + ".dat"), the test a
// channel read uses, so the counts are what reads would find. One name can
// count for several channels (when one channel name ends with the member
// path of another), never for two segments of one channel.
class MemberNameCounter {
 public:
  // One ChannelLayout per distinct name of `channel_names`, in the order of
  // their first appearance; the names must outlive the counter's results.
  explicit MemberNameCounter(const std::vector<std::string_view>& channel_names);

  // Counts a member of `uncompressed_size` bytes for (channel, segment),
  // as for_each_claim names them.
  void count(size_t channel, size_t segment, uint64_t uncompressed_size) {
    layouts_[channel].add(segment, uncompressed_size);
  }

  // Calls `claimed(channel, segment)` for every (channel, segment) whose
  // member path `name` ends with; `channel` indexes the distinct names in
  // order of first appearance.
  template <class Claimed>
  void for_each_claim(std::span<const uint8_t> name, Claimed&& claimed) const {
    const size_t n = name.size();
    const uint8_t* p = name.data();
    if (n < kShortestMemberPath || !ends_in_data_suffix(p, n)) return;
    // The channel name's length decides where "/channels/" must stand, so
    // each length is one test; only then are names of that length compared.
    for (const LengthGroup& group : groups_) {
      size_t segment = 0;
      const size_t channel = claim(group, p, n, segment);
      if (channel == kNoClaim) continue;
      claimed(channel, segment);
      if (single_claim_) return;
    }
  }

  size_t channel_count() const { return layouts_.size(); }
  std::string_view channel_name(size_t channel) const { return layouts_[channel].name; }

  std::vector<ChannelLayout> take() { return std::move(layouts_); }

 private:
  struct LengthGroup {
    size_t length;                // of the channel names in this group
    std::vector<size_t> members;  // indexes into layouts_
  };

  static constexpr size_t kNoClaim = SIZE_MAX;
  // "/" and at least one digit, "/channels/" and ".dat" around a name.
  static constexpr size_t kShortestMemberPath = 16;
  static bool ends_in_data_suffix(const uint8_t* p, size_t n);

  // The channel of `group` that `name` (n bytes at p, ending in ".dat")
  // names, with its segment, or kNoClaim.
  size_t claim(const LengthGroup& group, const uint8_t* p, size_t n, size_t& segment) const;

  std::vector<ChannelLayout> layouts_;
  std::vector<LengthGroup> groups_;
  bool single_claim_ = true;
};

// The counts and trace lengths for `channel_names` over every
// central-directory record of `reader`: one walk, no member decoded.
// Errors: the directory's. Runs on `scratch`, so it needs no exclusive use
// of the reader; touches no Python object.
Result<std::vector<ChannelLayout>> count_channel_members(
    const zip::ZipReader& reader, zip::ReadScratch& scratch,
    const std::vector<std::string_view>& channel_names);

}  // namespace zu
