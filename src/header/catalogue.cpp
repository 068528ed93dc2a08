#include "header/header.h"
#include "header/keys.h"

namespace zu {

Result<std::vector<ChannelPair>> ZuHeader::get_channels() const {
  ZU_TRY_ASSIGN(const Node* lcd_info, data().get(keys::kLcdInfo));
  ZU_TRY_ASSIGN(const NodeMap* channels, lcd_info->as_map());
  std::vector<ChannelPair> pairs;
  for (const auto& [id, record] : channels->entries) {
    ZU_TRY_ASSIGN(const Node* channel, record.get(keys::kChannel));
    ZU_TRY_ASSIGN(const Node* name, channel->get(keys::kName));
    ZU_TRY_ASSIGN(std::string_view text, name->as_value());
    pairs.emplace_back(id, text);
  }
  return pairs;
}

Result<const Node*> ZuHeader::find_channel(std::string_view name) const {
  ZU_TRY_ASSIGN(std::vector<ChannelPair> pairs, get_channels());
  for (const ChannelPair& pair : pairs) {
    if (pair.second != name) continue;
    ZU_TRY_ASSIGN(const Node* lcd_info, data().get(keys::kLcdInfo));
    return lcd_info->get(pair.first);
  }
  return ZuError::invalid_channel(std::string(name));
}

Result<std::vector<std::string_view>> ZuHeader::get_unit_types(std::string_view name) const {
  ZU_TRY_ASSIGN(const Node* channel, find_channel(name));
  ZU_TRY_ASSIGN(const Node* set, channel->get(keys::kConversionSet));
  ZU_TRY_ASSIGN(const Node* conversion, set->get(keys::kConversion));
  ZU_TRY_ASSIGN(const NodeMap* units, conversion->as_map());
  std::vector<std::string_view> result;
  for (const auto& [unit, record] : units->entries) result.emplace_back(unit);
  return result;
}

Result<std::string_view> ZuHeader::get_base_unit(std::string_view name) const {
  ZU_TRY_ASSIGN(const Node* channel, find_channel(name));
  ZU_TRY_ASSIGN(const Node* set, channel->get(keys::kConversionSet));
  ZU_TRY_ASSIGN(const Node* conversions, set->get(keys::kConversions));
  ZU_TRY_ASSIGN(const Node* base, conversions->get(keys::kBase));
  return base->as_value();
}

Result<std::string_view> ZuHeader::get_sample_type(std::string_view name) const {
  ZU_TRY_ASSIGN(const Node* channel, find_channel(name));
  ZU_TRY_ASSIGN(const Node* type, channel->get(keys::kType));
  return type->as_value();
}

}  // namespace zu
