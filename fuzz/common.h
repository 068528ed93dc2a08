// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <string_view>

#include <vector>

#include "header/header.h"

// The base unit type of a channel, which the catalogue does not list unless
// it also has a conversion record; empty when the header has none.
inline std::string_view base_unit(const zu::ZuHeader& header, std::string_view channel_id) {
  const zu::Node* node = &header.data();
  for (std::string_view key :
       {std::string_view("lcd-info"), channel_id, std::string_view("conversion-set"),
        std::string_view("conversions"), std::string_view("base")}) {
    auto child = node->get(key);
    if (!child) return {};
    node = child.value();
  }
  auto text = node->as_value();
  return text ? text.value() : std::string_view{};
}

// Calls visit(name, unit) for the base unit and then each listed unit type of
// every channel, a few of each so one input stays fast. The unit views point
// into the header tree, which `visit` may only read; AddressSanitizer reports
// it if they ever dangle.
template <class Visit>
void for_each_channel_unit(const zu::ZuHeader& header, const std::vector<zu::ChannelPair>& channels,
                           Visit visit) {
  constexpr size_t kMaxChannels = 8;
  constexpr size_t kMaxUnits = 8;
  size_t seen = 0;
  for (const auto& [id, name] : channels) {
    if (++seen > kMaxChannels) break;
    const std::string_view base = base_unit(header, id);
    visit(name, base);
    auto units = header.get_unit_types(name);
    if (!units) {
      (void)units.error().message();
      continue;
    }
    size_t tried = 0;
    for (std::string_view unit : units.value()) {
      if (++tried > kMaxUnits) break;
      if (unit != base) visit(name, unit);
    }
  }
}
