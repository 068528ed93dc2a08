#include "channels/layout.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zu {

namespace {

constexpr std::string_view kDataSuffix = ".dat";
constexpr std::string_view kChannelsDir = "/channels/";
// "/" and at least one digit come before the channels directory.
constexpr size_t kShortestPath = 2 + kChannelsDir.size() + kDataSuffix.size();

// Fixed-size comparisons as integer loads: this test runs once per
// directory record, so it is kept to a few instructions.
template <class Word>
Word load(const uint8_t* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
template <class Word>
Word load(std::string_view text, size_t at) {
  return load<Word>(reinterpret_cast<const uint8_t*>(text.data()) + at);
}

bool is_data_suffix(const uint8_t* p) {
  return load<uint32_t>(p) == load<uint32_t>(kDataSuffix, 0);
}

bool is_channels_dir(const uint8_t* p) {
  return load<uint64_t>(p) == load<uint64_t>(kChannelsDir, 0) &&
         load<uint16_t>(p + 8) == load<uint16_t>(kChannelsDir, 8);
}

// The segment whose directory ends just before `end` in `name`: "/" and the
// decimal form a read would write (no sign, no leading zero, 0..255).
// -1 when there is none.
int segment_before(const uint8_t* name, size_t end) {
  size_t start = end;
  while (start > 0 && end - start < 4 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  const size_t digits = end - start;
  if (digits == 0 || digits > 3 || start == 0 || name[start - 1] != '/') return -1;
  if (digits > 1 && name[start] == '0') return -1;
  int value = 0;
  for (size_t i = start; i < end; ++i) value = value * 10 + (name[i] - '0');
  return value < static_cast<int>(kSegmentCount) ? value : -1;
}

}  // namespace

bool MemberNameCounter::ends_in_data_suffix(const uint8_t* p, size_t n) {
  static_assert(kShortestMemberPath == kShortestPath);
  return is_data_suffix(p + n - kDataSuffix.size());
}

MemberNameCounter::MemberNameCounter(const std::vector<std::string_view>& channel_names) {
  // A set, not a scan of the names so far: a header may list many
  // thousands of channels, and this runs when a file is opened.
  std::unordered_set<std::string_view> seen;
  for (std::string_view name : channel_names) {
    if (!seen.insert(name).second) continue;
    // Two channels can claim one member name only when one name ends with
    // "channels/" + the other (the directory test cannot hold at two places
    // closer together); without such a name the first claim is the only one.
    if (name.find("channels/") != std::string_view::npos) single_claim_ = false;
    const size_t index = layouts_.size();
    layouts_.push_back(ChannelLayout{name, {}});
    auto group = std::find_if(groups_.begin(), groups_.end(),
                              [&](const LengthGroup& g) { return g.length == name.size(); });
    if (group == groups_.end()) {
      groups_.push_back(LengthGroup{name.size(), {index}});
    } else {
      group->members.push_back(index);
    }
  }
}

size_t MemberNameCounter::claim(const LengthGroup& group, const uint8_t* p, size_t n,
                                size_t& segment) const {
  if (n < kShortestPath + group.length) return kNoClaim;
  const size_t channel_start = n - kDataSuffix.size() - group.length;
  const size_t dir = channel_start - kChannelsDir.size();
  if (!is_channels_dir(p + dir)) return kNoClaim;
  const int found = segment_before(p, dir);
  if (found < 0) return kNoClaim;
  for (size_t index : group.members) {
    const ChannelLayout& layout = layouts_[index];
    if (std::memcmp(p + channel_start, layout.name.data(), group.length) == 0) {
      segment = static_cast<size_t>(found);
      return index;  // names in one group are distinct
    }
  }
  return kNoClaim;
}

Result<std::vector<ChannelLayout>> count_channel_members(
    const zip::ZipReader& reader, zip::ReadScratch& scratch,
    const std::vector<std::string_view>& channel_names) {
  MemberNameCounter counter(channel_names);
  // The claims of a name are kept until its entry, which the walk hands
  // over next, gives the member's size.
  std::vector<std::pair<size_t, size_t>> claims;
  ZU_TRY(reader.for_each_entry(
      [&](std::span<const uint8_t> name) {
        claims.clear();
        counter.for_each_claim(
            name, [&](size_t channel, size_t segment) { claims.emplace_back(channel, segment); });
        return !claims.empty();
      },
      [&](const zip::ZipEntry& entry) {
        for (const auto& [channel, segment] : claims) {
          counter.count(channel, segment, entry.uncompressed_size);
        }
      },
      scratch));
  return counter.take();
}

}  // namespace zu
