// What an archive holds per channel and segment, from member names alone.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
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
  static constexpr size_t kDataSuffixSize = 4;    // ".dat"
  static constexpr size_t kChannelsDirSize = 10;  // "/channels/"
  // "/" and at least one digit, "/channels/" and ".dat" around a name.
  static constexpr size_t kShortestMemberPath = 2 + kChannelsDirSize + kDataSuffixSize;

  // Fixed-size comparisons as integer loads. These tests run for every
  // directory record a file opened through zudata has, so they are defined
  // here, where the walk's loop can inline them.
  template <class Word>
  static Word load(const uint8_t* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
  template <class Word>
  static Word load(const char* text) {
    return load<Word>(reinterpret_cast<const uint8_t*>(text));
  }
  static bool ends_in_data_suffix(const uint8_t* p, size_t n) {
    constexpr std::string_view suffix = ".dat";
    static_assert(suffix.size() == kDataSuffixSize);
    return load<uint32_t>(p + n - kDataSuffixSize) == load<uint32_t>(suffix.data());
  }
  static bool is_channels_dir(const uint8_t* p) {
    constexpr std::string_view dir = "/channels/";
    static_assert(dir.size() == kChannelsDirSize);
    return load<uint64_t>(p) == load<uint64_t>(dir.data()) &&
           load<uint16_t>(p + 8) == load<uint16_t>(dir.data() + 8);
  }
  // The segment whose directory ends just before `end` in `name`: "/" and
  // the decimal form a read would write (no sign, no leading zero, 0..255).
  // -1 when there is none.
  static int segment_before(const uint8_t* name, size_t end) {
    // Digits are read from the last one back, each weighted as it comes.
    int value = 0;
    int weight = 1;
    size_t start = end;
    while (start > 0 && end - start < 4) {
      const unsigned digit = unsigned{name[start - 1]} - unsigned{'0'};
      if (digit > 9) break;
      value += static_cast<int>(digit) * weight;
      weight *= 10;
      --start;
    }
    const size_t digits = end - start;
    if (digits == 0 || digits > 3 || start == 0 || name[start - 1] != '/') return -1;
    if (digits > 1 && name[start] == '0') return -1;
    return value < static_cast<int>(kSegmentCount) ? value : -1;
  }
  // `n` bytes at `a` equal those at `b`. Channel names are mostly short,
  // and a call to memcmp for a dozen bytes costs more than the compare.
  static bool same_bytes(const uint8_t* a, const char* b, size_t n) {
    if (n >= 8 && n <= 16) {
      return load<uint64_t>(a) == load<uint64_t>(b) &&
             load<uint64_t>(a + n - 8) == load<uint64_t>(b + n - 8);
    }
    if (n >= 4 && n < 8) {
      return load<uint32_t>(a) == load<uint32_t>(b) &&
             load<uint32_t>(a + n - 4) == load<uint32_t>(b + n - 4);
    }
    return std::memcmp(a, b, n) == 0;
  }

  // The channel of `group` that `name` (n bytes at p, ending in ".dat")
  // names, with its segment, or kNoClaim.
  size_t claim(const LengthGroup& group, const uint8_t* p, size_t n, size_t& segment) const {
    if (n < kShortestMemberPath + group.length) return kNoClaim;
    const size_t channel_start = n - kDataSuffixSize - group.length;
    const size_t dir = channel_start - kChannelsDirSize;
    if (!is_channels_dir(p + dir)) return kNoClaim;
    const int found = segment_before(p, dir);
    if (found < 0) return kNoClaim;
    for (size_t index : group.members) {
      const ChannelLayout& layout = layouts_[index];
      if (same_bytes(p + channel_start, layout.name.data(), group.length)) {
        segment = static_cast<size_t>(found);
        return index;  // names in one group are distinct
      }
    }
    return kNoClaim;
  }

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
