// The header keys the system reads. Paths are walked one segment at a time:
//   lcd-info.<id>.channel.name                          channel name
//   lcd-info.<id>.type                                  sample type
//   lcd-info.<id>.encoder.scaling.{offset,multiplier}   raw -> base unit
//   lcd-info.<id>.conversion-set.conversions.base       base unit type
//   lcd-info.<id>.conversion-set.conversion.<unit>      one record per unit:
//       base-calibration-slot, scaling.{offset,multiplier}
#pragma once

#include <string_view>

namespace zu::keys {

inline constexpr std::string_view kLcdInfo = "lcd-info";
inline constexpr std::string_view kChannel = "channel";
inline constexpr std::string_view kName = "name";
inline constexpr std::string_view kType = "type";
inline constexpr std::string_view kEncoder = "encoder";
inline constexpr std::string_view kScaling = "scaling";
inline constexpr std::string_view kOffset = "offset";
inline constexpr std::string_view kMultiplier = "multiplier";
inline constexpr std::string_view kConversionSet = "conversion-set";
inline constexpr std::string_view kConversions = "conversions";
inline constexpr std::string_view kBase = "base";
inline constexpr std::string_view kConversion = "conversion";
inline constexpr std::string_view kBaseCalibrationSlot = "base-calibration-slot";

}  // namespace zu::keys
