// Helpers shared by the fuzz targets.
#pragma once

#include <string_view>

#include "header/header.h"

// The base unit type of a channel, which the catalogue does not list unless
// it also has a conversion record; empty when the header has none.
inline std::string_view base_unit(const zu::ZuHeader& header, std::string_view channel_id) {
  const zu::Node* node = &header.data();
  for (std::string_view key : {std::string_view("lcd-info"), channel_id,
                               std::string_view("conversion-set"),
                               std::string_view("conversions"), std::string_view("base")}) {
    auto child = node->get(key);
    if (!child) return {};
    node = child.value();
  }
  auto text = node->as_value();
  return text ? text.value() : std::string_view{};
}
