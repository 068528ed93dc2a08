#include <unordered_set>
#include <vector>

#include "header/header.h"
#include "header/keys.h"
#include "header/number.h"

namespace zu {

namespace {

// A scaling node's two numbers; every failure is reported.
Result<double> number_at(const Node& scaling_parent, std::string_view key) {
  ZU_TRY_ASSIGN(const Node* scaling, scaling_parent.get(keys::kScaling));
  ZU_TRY_ASSIGN(const Node* node, scaling->get(key));
  ZU_TRY_ASSIGN(std::string_view text, node->as_value());
  return parse_decimal(text);
}

// Any fault below "encoder" means "no encoder scaling": (0, 1), never a
// partial pair.
Scaling encoder_scaling(const Node& channel) {
  Result<const Node*> encoder = channel.get(keys::kEncoder);
  if (!encoder) return Scaling{};
  Result<double> offset = number_at(*encoder.value(), keys::kOffset);
  if (!offset) return Scaling{};
  Result<double> multiplier = number_at(*encoder.value(), keys::kMultiplier);
  if (!multiplier) return Scaling{};
  return Scaling{offset.value(), multiplier.value()};
}

struct Step {
  double offset;
  double multiplier;
};

// One conversion record: its slot node (kind checked after the numbers)
// and its own scaling.
Result<Step> read_step(const Node& record, const Node*& slot) {
  ZU_TRY_ASSIGN(slot, record.get(keys::kBaseCalibrationSlot));
  ZU_TRY_ASSIGN(double offset, number_at(record, keys::kOffset));
  ZU_TRY_ASSIGN(double multiplier, number_at(record, keys::kMultiplier));
  return Step{offset, multiplier};
}

// Follows the slots from the requested record down to the base unit type,
// then composes outwards, so a long chain needs no deep recursion. A slot
// that leads back to a record already on the chain would never reach the
// base, so it is refused.
Result<Scaling> compose_chain(std::string_view unit, const Node& conversion,
                              const Node& conversions, std::string_view base, Scaling incoming) {
  std::vector<Step> chain;
  std::unordered_set<const Node*> visited{&conversion};
  const Node* record = &conversion;
  std::string_view record_unit = unit;
  for (;;) {
    const Node* slot = nullptr;
    ZU_TRY_ASSIGN(Step step, read_step(*record, slot));
    chain.push_back(step);
    ZU_TRY_ASSIGN(std::string_view slot_unit, slot->as_value());
    if (slot_unit == base) break;
    ZU_TRY_ASSIGN(record, conversions.get(slot_unit));
    if (!visited.insert(record).second) {
      return ZuError::invalid_header_line(
          std::string(keys::kConversion) + "." + std::string(record_unit) + "." +
              std::string(keys::kBaseCalibrationSlot) + "=" + std::string(slot_unit),
          "conversion chain loops without reaching the base unit type");
    }
    record_unit = slot_unit;
  }
  Scaling s = incoming;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    // Two products, then one sum: kept apart so nothing fuses them.
    const double scaled_offset = it->multiplier * s.offset;
    const double scaled_multiplier = it->multiplier * s.multiplier;
    s = Scaling{it->offset + scaled_offset, scaled_multiplier};
  }
  return s;
}

}  // namespace

Result<Conversion> ZuHeader::convert_to_type(std::string_view name, std::string_view unit_type,
                                             DiagnosticSink& diagnostics) const {
  ZU_TRY_ASSIGN(const Node* channel, find_channel(name));
  ZU_TRY_ASSIGN(const Node* type_node, channel->get(keys::kType));
  ZU_TRY_ASSIGN(std::string_view sample_type, type_node->as_value());
  const Scaling encoder = encoder_scaling(*channel);
  ZU_TRY_ASSIGN(const Node* set, channel->get(keys::kConversionSet));
  ZU_TRY_ASSIGN(const Node* conversions, set->get(keys::kConversions));
  ZU_TRY_ASSIGN(const Node* base_node, conversions->get(keys::kBase));
  ZU_TRY_ASSIGN(std::string_view base, base_node->as_value());
  if (base == unit_type) return Conversion{encoder, sample_type};

  ZU_TRY_ASSIGN(const Node* conversion_map, set->get(keys::kConversion));
  ZU_TRY_ASSIGN(const Node* requested, conversion_map->get(unit_type));
  ZU_TRY_ASSIGN(Scaling result,
                compose_chain(unit_type, *requested, *conversion_map, base, encoder));
  diagnostics.line(format_shortest(result.offset) + "," + format_shortest(result.multiplier) +
                   "\n");
  return Conversion{result, sample_type};
}

}  // namespace zu
