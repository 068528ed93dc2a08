#include "channels/layout.h"

#include <algorithm>
#include <cstring>

namespace zu {

namespace {

constexpr std::string_view kDataSuffix = ".dat";
constexpr std::string_view kChannelsDir = "/channels/";
// "/" and at least one digit come before the channels directory.
constexpr size_t kShortestPath = 2 + kChannelsDir.size() + kDataSuffix.size();

bool equal_at(const uint8_t* p, std::string_view text) {
  return std::memcmp(p, text.data(), text.size()) == 0;
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

MemberNameCounter::MemberNameCounter(const std::vector<std::string_view>& channel_names) {
  for (std::string_view name : channel_names) {
    const bool seen = std::any_of(layouts_.begin(), layouts_.end(),
                                  [&](const ChannelLayout& c) { return c.name == name; });
    if (seen) continue;
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

void MemberNameCounter::count(std::span<const uint8_t> name) {
  const size_t n = name.size();
  const uint8_t* p = name.data();
  if (n < kShortestPath || !equal_at(p + n - kDataSuffix.size(), kDataSuffix)) return;
  // The channel name's length decides where "/channels/" must stand, so
  // each length is one test; only then are names of that length compared.
  for (const LengthGroup& group : groups_) {
    if (n < kShortestPath + group.length) continue;
    const size_t channel_start = n - kDataSuffix.size() - group.length;
    const size_t dir = channel_start - kChannelsDir.size();
    if (!equal_at(p + dir, kChannelsDir)) continue;
    const int segment = segment_before(p, dir);
    if (segment < 0) continue;
    for (size_t index : group.members) {
      ChannelLayout& layout = layouts_[index];
      if (equal_at(p + channel_start, layout.name)) {
        ++layout.traces[static_cast<size_t>(segment)];
        break;  // names in one group are distinct
      }
    }
  }
}

Result<std::vector<ChannelLayout>> count_channel_members(
    const zip::ZipReader& reader, zip::ReadScratch& scratch,
    const std::vector<std::string_view>& channel_names) {
  MemberNameCounter counter(channel_names);
  ZU_TRY(
      reader.for_each_name([&](std::span<const uint8_t> name) { counter.count(name); }, scratch));
  return counter.take();
}

}  // namespace zu
