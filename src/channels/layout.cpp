#include "channels/layout.h"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

namespace zu {

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
